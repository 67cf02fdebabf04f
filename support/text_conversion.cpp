#include "support/text_conversion.h"
