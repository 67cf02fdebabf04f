#include "service/service_host.h"
