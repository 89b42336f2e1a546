// The library's exported entry points: each binds the portable logic to the
// platform layer of the machine it runs on.
#include "permwell.h"

#include "access_rights.h"
#include "platform.h"
#include "user_groups.h"

static_assert(sizeof(int) == 4, "exports return 32-bit integers");

extern "C" {

int DllMain(void* /*instance*/, uint32_t /*reason*/, void* /*reserved*/) { return 1; }

int ReadAccessRights(const char* file_name, char* buffer, int32_t* length) {
    permwell::SystemPlatform platform;
    return permwell::read_access_rights(platform, file_name, buffer, length);
}

int SetAccessRights(const char* file_name, const char* account_name, uint32_t access_mask) {
    permwell::SystemPlatform platform;
    return permwell::set_access_rights(platform, file_name, account_name, access_mask);
}

int GetUserGroups(const char* user_name, char* buffer, uint32_t* length) {
    permwell::SystemPlatform platform;
    return permwell::get_user_groups(platform, user_name, buffer, length);
}

}  // extern "C"

// The class has no data, so copying copies nothing.
CPermwell& CPermwell::operator=(const CPermwell& /*other*/) { return *this; }
