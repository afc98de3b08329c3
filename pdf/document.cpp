#include "pdf/pdfw_private.h"
