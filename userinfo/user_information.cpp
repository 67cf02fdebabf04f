#include "userinfo/user_information.h"
