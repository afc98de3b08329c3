// XMP metadata and PDF/A output intent. Placeholder: PDF/A output is not
// available yet, so both calls fail without effect.
#include "pdf/pdfw_private.h"

bool pdfw_obj_metadata(PdfDocument*, PdfObjectId*) { return false; }
bool pdfw_obj_output_intent(PdfDocument*, PdfObjectId*) { return false; }
