// The library's exported entry points: each binds the portable logic to the
// platform layer of the machine it runs on.
#include "permwell.h"

#include "access_rights.h"
#include "platform.h"
#include "user_groups.h"

static_assert(sizeof(int) == 4, "exports return 32-bit integers");

extern "C" {

int DllMain(void* /*instance*/, uint32_t /*reason*/, void* /*reserved*/) { return 1; }

int ReadAccessRights(const char* fileName, char* buffer, int32_t* length) {
    permwell::SystemPlatform platform;
    return permwell::readAccessRights(platform, fileName, buffer, length);
}

int SetAccessRights(const char* fileName, const char* accountName, uint32_t accessMask) {
    permwell::SystemPlatform platform;
    return permwell::setAccessRights(platform, fileName, accountName, accessMask);
}

int GetUserGroups(const char* userName, char* buffer, uint32_t* length) {
    permwell::SystemPlatform platform;
    return permwell::getUserGroups(platform, userName, buffer, length);
}

}  // extern "C"

// The class has no data, so copying copies nothing.
CPermwell& CPermwell::operator=(const CPermwell& /*other*/) { return *this; }
