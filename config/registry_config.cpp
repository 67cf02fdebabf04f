#include "config/registry_config.h"
