#include "cmd/tarvo.h"
