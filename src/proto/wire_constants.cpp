#include "proto/wire_constants.h"
