// Catalog presentation settings. Placeholder: adds nothing yet.
#include "pdf/pdfw_private.h"

bool pdfw_catalog_page_mode(PdfDocument*, PdfObject*) { return true; }
bool pdfw_catalog_page_layout(PdfDocument*, PdfObject*) { return true; }
bool pdfw_catalog_open_action(PdfDocument*, PdfObject*) { return true; }
bool pdfw_catalog_viewer_prefs(PdfDocument*, PdfObject*) { return true; }
bool pdfw_page_transition(PdfDocument*, PdfObject*) { return true; }
