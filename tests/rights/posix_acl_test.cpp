// What the kernel enforces after a grant, proved by child processes switched
// to test accounts; directories, symlinks, and file systems that cannot hold
// an ACL (ramfs) or cannot be changed (a read-only mount), made in a private
// mount namespace.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "permwell.h"
#include "support.h"
#include "unix_mapping.h"

namespace permwell::testing {
namespace {

// Credentials of the processes that try the file. Only the kernel sees them,
// so they are set directly; each is in at most one group that the ACLs name.
struct Probe {
    const char* who;
    uid_t uid;
    gid_t gid;
};

enum ProbeBit : unsigned { probe_owner = 1, probe_bob = 2, probe_staff = 4, probe_devs = 8, probe_outsider = 16 };
constexpr Probe all_probes[] = {{"owner alice", 1001, 1001},
                             {"named user bob", 1002, 1002},
                             {"member of the owning group staff", 1003, 1100},
                             {"member of devs", 1004, 1101},
                             {"outsider", 1005, 1005}};

// What one process may do with the file, as bits: open for reading (1), for
// writing (2), for both at once (4), and execute (8).
enum Access : unsigned { can_read = 1, can_write = 2, can_read_write = 4, can_exec = 8 };

unsigned access_from_perms(std::uint8_t perms) {
    unsigned access = 0;
    if (perms & perm_read) access |= can_read;
    if (perms & perm_write) access |= can_write;
    if ((perms & perm_read) && (perms & perm_write)) access |= can_read_write;
    if (perms & perm_execute) access |= can_exec;
    return access;
}

unsigned access_of(const std::string& path, const Probe& probe) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(1, &probe.gid) != 0 || setgid(probe.gid) != 0 || setuid(probe.uid) != 0) _exit(64);
        unsigned access = 0;
        const std::pair<int, unsigned> modes[] = {
            {O_RDONLY, can_read}, {O_WRONLY, can_write}, {O_RDWR, can_read_write}};
        for (const auto& [flags, bit] : modes) {
            const int fd = open(path.c_str(), flags | O_CLOEXEC);
            if (fd >= 0) {
                access |= bit;
                close(fd);
            }
        }
        if (::access(path.c_str(), X_OK) == 0) access |= can_exec;
        _exit(static_cast<int>(access));
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 15) {
        ADD_FAILURE() << "probe as " << probe.who << " did not run";
        return 0;
    }
    return static_cast<unsigned>(WEXITSTATUS(status));
}

std::string listing(const std::string& path) {
    std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
    std::int32_t length = 0;
    EXPECT_EQ(ReadAccessRights(path.c_str(), buffer.data(), &length), 1) << path;
    return buffer.data();
}

// The masks of the listing's lines that name the account.
std::vector<std::uint32_t> masks_listed_for(const std::string& path, const std::string& account) {
    std::vector<std::uint32_t> masks;
    std::istringstream lines(listing(path));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(account + ";")) {
            masks.push_back(static_cast<std::uint32_t>(std::stol(line.substr(account.size() + 1))));
        }
    }
    return masks;
}

struct EnforceCase {
    const char* name;
    const char* acl;  // every entry of the file's ACL before the grant, for setfacl
    const char* account;
    std::uint32_t mask;
    unsigned decided;  // probes whose access the account's new entry decides
};

class EnforceTest : public ::testing::TestWithParam<EnforceCase> {};

// The file belongs to alice and the group staff. After the grant every probe
// that the new entry does not decide may do exactly what it could before, and
// those it decides may do what the listing shows for the account, no more.
TEST_P(EnforceTest, OnlyTheGrantedAccountsAccessChanges) {
    const EnforceCase& c = GetParam();
    const TempDir dir;
    const std::string file = dir.file("f", 0600);
    ASSERT_EQ(chown(file.c_str(), 1001, 1100), 0);
    set_acl(file, c.acl);
    unsigned before[std::size(all_probes)];
    for (std::size_t i = 0; i < std::size(all_probes); ++i) before[i] = access_of(file, all_probes[i]);

    // On a noexec mount nobody may execute, whatever the ACL says.
    struct statvfs fs {};
    ASSERT_EQ(statvfs(file.c_str(), &fs), 0);
    const unsigned checked = fs.f_flag & ST_NOEXEC ? ~unsigned{can_exec} : ~0u;

    ASSERT_EQ(SetAccessRights(file.c_str(), c.account, c.mask), 1);
    const auto listed = masks_listed_for(file, c.account);
    ASSERT_EQ(listed.size(), 1u) << "the account is listed once";
    const unsigned granted = access_from_perms(perms_from_mask(listed[0]));
    EXPECT_EQ(listed[0], mask_from_perms(perms_from_mask(c.mask))) << "listed as granted";
    for (std::size_t i = 0; i < std::size(all_probes); ++i) {
        const unsigned expected = ((c.decided >> i) & 1 ? granted : before[i]) & checked;
        EXPECT_EQ(access_of(file, all_probes[i]) & checked, expected) << all_probes[i].who << "; acl now:\n"
                                                                      << get_acl(file);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Grants, EnforceTest,
    ::testing::Values(
        // The kernel never consults a named entry for the owner's uid.
        EnforceCase{"OwnerDuplicateStaysDead", "u::---,u:alice:rwx,g::r,o::---", "Unix User\\dave", 0x120089, 0},
        EnforceCase{"OwnerDuplicateReplacedWithTheOwner", "u::---,u:alice:rwx,g::r,o::---", "Unix User\\alice",
                    0x1201B6, probe_owner},
        // A group member needs one entry holding both bits to open for both.
        EnforceCase{"OwningGroupDuplicateNotMerged", "u::rw,g::r,g:staff:w,o::---", "Unix User\\dave", 0x120089, 0},
        EnforceCase{"HiddenBitsStayHidden", "u::rw,u:bob:rwx,g::rw,g:devs:rw,m::r,o::---", "Unix User\\dave", 0x1201B6,
                    0},
        EnforceCase{"NamedUserUnderMask", "u::rw,u:bob:rwx,g::rw,g:devs:rw,m::r,o::r", "Unix User\\bob", 0x120116,
                    probe_bob},
        EnforceCase{"OwningGroupUnderMask", "u::rw,u:bob:rw,g::r,g:devs:x,m::r,o::r", "Unix Group\\staff", 0x1F01FF,
                    probe_staff},
        EnforceCase{"NamedGroupOnModeBits", "u::rw,g::r,o::r", "Unix Group\\devs", 0x1201B6, probe_devs},
        EnforceCase{"OwnerUnderEmptyMask", "u::r,u:bob:rw,g::rw,m::---,o::r", "Unix User\\alice", 0x1F01FF,
                    probe_owner},
        // With an empty mask Linux skips the ACL and goes by the mode bits, so
        // named users get what Everyone has.
        EnforceCase{"EveryoneUnderEmptyMask", "u::rwx,u:bob:rwx,g::rwx,m::---,o::---", "Everyone", 0x120089,
                    probe_bob | probe_devs | probe_outsider},
        EnforceCase{"EveryoneUnderMask", "u::rwx,u:bob:rwx,g::rwx,m::x,o::---", "Everyone", 0x120089,
                    probe_devs | probe_outsider},
        // No fall-through to the other class: 0 takes away what Everyone has.
        EnforceCase{"ZeroForANamedUser", "u::rw,g::r,o::rw", "Unix User\\bob", 0, probe_bob}),
    [](const auto& param) { return param.param.name; });

// Rights the mask hides for now are kept, so widening the mask brings them back.
TEST(MaskTest, HiddenRightsSurviveAGrantToAnotherAccount) {
    const TempDir dir;
    const std::string file = dir.file("f", 0640);
    set_acl(file, "u:alice:rwx,u:bob:rwx");
    ASSERT_EQ(chmod(file.c_str(), 0700), 0);
    ASSERT_EQ(SetAccessRights(file.c_str(), "Everyone", 0x120089), 1);
    EXPECT_EQ(get_acl(file),
              "user::rwx\nuser:1001:rwx\t#effective:---\nuser:1002:rwx\t#effective:---\n"
              "group::r--\t#effective:---\nmask::---\nother::r--\n\n");
    ASSERT_EQ(chmod(file.c_str(), 0770), 0);
    EXPECT_EQ(get_acl(file), "user::rwx\nuser:1001:rwx\nuser:1002:rwx\ngroup::r--\nmask::rwx\nother::---\n\n");
}

std::string default_acl(const std::string& path) {
    return run({"getfacl", "--omit-header", "--numeric", "--default", path}).out;
}

TEST(PathKindsTest, DirectoryKeepsItsDefaultAcl) {
    const TempDir dir;
    const std::filesystem::path sub = dir.path() / "sub";
    std::filesystem::create_directory(sub);
    run({"setfacl", "-d", "-m", "u:bob:rx,g:devs:rwx", sub.string()});
    const std::string defaults = default_acl(sub);
    ASSERT_NE(defaults.find("user:1002:r-x"), std::string::npos);
    ASSERT_EQ(SetAccessRights(sub.c_str(), "Unix User\\alice", 0x1200A9), 1);
    EXPECT_NE(get_acl(sub).find("user:1001:r-x\n"), std::string::npos);
    EXPECT_EQ(default_acl(sub), defaults);
}

struct DefaultCase {
    const char* name;
    const char* defaults;  // for setfacl -d -m, on a directory of mode 0750
    const char* account;
    std::uint32_t mask;
    const char* removed;  // the line of getfacl -d that goes; empty: none
    Probe probe;          // may do nothing with a file made afterwards
};

class DefaultAclTest : public ::testing::TestWithParam<DefaultCase> {};

// A grant on a directory takes the account's named entry out of the default
// ACL too, so a file made there afterwards gives it nothing; it adds no
// default entry, and every other line of the default ACL, the mask included,
// stays as it was (a mask that hides bits keeps hiding them).
TEST_P(DefaultAclTest, GrantReachesFilesMadeLater) {
    const DefaultCase& c = GetParam();
    const TempDir dir;
    const std::filesystem::path sub = dir.path() / "sub";
    std::filesystem::create_directory(sub);
    ASSERT_EQ(chmod(sub.c_str(), 0750), 0);
    ASSERT_EQ(run({"setfacl", "-d", "-m", c.defaults, sub.string()}).exit_code, 0);
    std::string expected = default_acl(sub);
    if (*c.removed) {
        const auto line = expected.find(c.removed);
        ASSERT_NE(line, std::string::npos) << expected;
        expected.erase(line, std::strlen(c.removed));
    }

    ASSERT_EQ(SetAccessRights(sub.c_str(), c.account, c.mask), 1);
    EXPECT_EQ(default_acl(sub), expected);
    const std::string made = (sub / "made-later").string();
    const int fd = open(made.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(access_of(made, c.probe), 0u) << c.probe.who << "; acl of the new file:\n" << get_acl(made);
}

INSTANTIATE_TEST_SUITE_P(
    Directories, DefaultAclTest,
    ::testing::Values(
        DefaultCase{"RevokedUser", "u:bob:rwx,g:devs:rx", "Unix User\\bob", 0, "user:1002:rwx\n", all_probes[1]},
        DefaultCase{"RevokedGroupUnderNarrowMask", "u:bob:rwx,g:devs:rwx,m::r", "Unix Group\\devs", 0,
                    "group:1101:rwx\t#effective:r--\n", all_probes[3]},
        // A grant of rights on the directory is no grant on what is made in it.
        DefaultCase{"GrantedUser", "u:bob:r,g:devs:rx", "Unix User\\bob", 0x1F01FF, "user:1002:r--\n", all_probes[1]},
        DefaultCase{"EveryoneHasNoNamedEntry", "u:bob:r,o::---", "Everyone", 0x120089, "", all_probes[4]}),
    [](const auto& param) { return param.param.name; });

// Both calls act on the file a symlink points to, as getfacl without -P does.
TEST(PathKindsTest, SymlinkMeansItsTarget) {
    const TempDir dir;
    const std::string target = dir.file("target", 0640);
    const std::string link = (dir.path() / "link").string();
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(SetAccessRights(link.c_str(), "Unix User\\bob", 0x120089), 1);
    EXPECT_EQ(get_acl(target), "user::rw-\nuser:1002:r--\ngroup::r--\nmask::r--\nother::---\n\n");
    EXPECT_EQ(listing(link), listing(target));
}

// Mounts for these tests are made in a mount namespace of this process's own,
// with every mount private, so nothing reaches the machine's mounts. The
// reason is empty on success.
std::string enter_private_mount_namespace() {
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making mounts private: ") + std::strerror(errno);
    }
    return {};
}

// A mount that is undone when the test ends, before its directory is removed.
struct Mount {
    Mount(const std::filesystem::path& where, const char* source, const char* type, unsigned long flags)
        : target(where) {
        std::filesystem::create_directories(target);
        mounted = mount(source, target.c_str(), type, flags, nullptr) == 0;
        if (!mounted) error = std::strerror(errno);
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    ~Mount() {
        if (mounted) umount2(target.c_str(), MNT_DETACH);
    }
    std::filesystem::path target;
    bool mounted = false;
    std::string error;
};

#define ENTER_PRIVATE_MOUNTS()                                                                    \
    if (const std::string reason = enter_private_mount_namespace(); !reason.empty()) {               \
        GTEST_SKIP() << "cannot make a private mount namespace (" << reason << "); needs root"; \
    }

struct ModeCase {
    const char* name;
    const char* account;
    std::uint32_t mask;
    int result;
    unsigned mode;  // afterwards; the file starts with 02640, alice:staff
};

class NoAclTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(NoAclTest, ModeBitsStandForTheAcl) {
    ENTER_PRIVATE_MOUNTS();
    const TempDir dir;
    const Mount ramfs(dir.path() / "ramfs", "permwell-test", "ramfs", 0);
    if (!ramfs.mounted) GTEST_SKIP() << "cannot mount a ramfs: " << ramfs.error;
    const std::string file = (dir.path() / "ramfs" / "f").string();
    {
        const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    ASSERT_EQ(chown(file.c_str(), 1001, 1100), 0);
    ASSERT_EQ(chmod(file.c_str(), 02640), 0);
    EXPECT_EQ(listing(file), "Unix User\\alice;1180063\r\nUnix Group\\staff;1179785\r\nEveryone;0\r\n");

    EXPECT_EQ(SetAccessRights(file.c_str(), GetParam().account, GetParam().mask), GetParam().result);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(
    Ramfs, NoAclTest,
    ::testing::Values(ModeCase{"Owner", "Unix User\\alice", 0x1F01FF, 1, 02740},
                      ModeCase{"OwningGroup", "Unix Group\\staff", 0x120116, 1, 02620},
                      ModeCase{"Everyone", "Everyone", 0x1200A9, 1, 02645},
                      ModeCase{"NamedUserRefused", "Unix User\\bob", 0x120089, 0, 02640},
                      ModeCase{"NamedGroupRefused", "Unix Group\\devs", 0, 0, 02640}),
    [](const auto& param) { return param.param.name; });

TEST(ReadOnlyMountTest, GrantFailsAndChangesNothing) {
    ENTER_PRIVATE_MOUNTS();
    const TempDir dir;
    const std::string file = dir.file("f", 0640);
    set_acl(file, "u:bob:rw");
    const std::string before = get_acl(file);
    const std::filesystem::path view = dir.path() / "ro";
    const Mount bind(view, dir.path().c_str(), nullptr, MS_BIND);
    if (!bind.mounted || mount(nullptr, view.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        GTEST_SKIP() << "cannot make a read-only bind mount: " << (bind.mounted ? std::strerror(errno) : bind.error);
    }
    const std::string read_only = (view / "f").string();
    EXPECT_EQ(listing(read_only), listing(file));
    EXPECT_EQ(SetAccessRights(read_only.c_str(), "Unix User\\alice", 0x120089), 0);
    EXPECT_EQ(get_acl(file), before);
}

// A bare name goes to the group of that name when no user has it. glibc
// says "no such user" with 0 and no record, nss_wrapper with ENOENT, which
// is also how a failing lookup may end; so the host runs here without
// nss_wrapper, on account files mounted over /etc/passwd and /etc/group.
TEST(BareNameTest, NoUserOfThatNameMeansTheGroup) {
    ENTER_PRIVATE_MOUNTS();
    const TempDir dir;
    const std::string passwd = dir.file("passwd", 0644, "root:x:0:0::/root:/bin/sh\nbob:x:1002:1002::/:/bin/false\n");
    const std::string group = dir.file("group", 0644, "root:x:0:\nbob:x:1002:\nstaff:x:1100:bob\n");
    for (const auto& [file, over] : {std::pair{passwd, "/etc/passwd"}, std::pair{group, "/etc/group"}}) {
        if (mount(file.c_str(), over, nullptr, MS_BIND, nullptr) != 0) {
            GTEST_SKIP() << "cannot mount over " << over << ": " << std::strerror(errno);
        }
    }
    const std::string target = dir.file("f", 0640);
    for (const char* account : {"staff", "bob"}) {
        const ProcessResult grant = run({"env", "-u", "LD_PRELOAD", PERMWELL_HOST, "grant", target, account, "r"});
        EXPECT_EQ(grant.exit_code, 0) << account << ": " << grant.err;
    }
    umount2("/etc/group", MNT_DETACH);
    umount2("/etc/passwd", MNT_DETACH);
    EXPECT_EQ(get_acl(target), "user::rw-\nuser:1002:r--\ngroup::r--\ngroup:1100:r--\nmask::r--\nother::---\n\n");
}

}  // namespace
}  // namespace permwell::testing
