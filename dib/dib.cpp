#include "dib/dib.h"
