#include "userinfo/account_info.h"

bool fillSystemUserInfo(UserInfo& info) {
    info.reset();
    info.domain = L"NT AUTHORITY";
    info.name = L"SYSTEM";
    return true;
}
