// (being written)
#include "config/config.h"
