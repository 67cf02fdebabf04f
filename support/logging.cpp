#include "support/logging.h"
