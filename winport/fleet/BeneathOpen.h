// Linux only: opening the Linux path of a Windows path so that it stays on its drive, even
// when folders are swapped for links meanwhile.
#pragma once

#include <sys/types.h>

#include <string>

namespace winport::posix
{

// Opens a path that MapPath gave, as a Windows path of this machine may be opened:
// - below the root of a machine's drive (FLEET_ROOT/machines/NAME/drive/X) no link is
//   followed and nothing above the root is reached, resolved beneath a descriptor of the root;
// - any other path is on the Linux drive Z:, where links are followed but the object found
//   must not lie in the fleet's folder (checked on the descriptor before it is used).
// Returns a close-on-exec descriptor, or -1 with errno set: EACCES when the path meets a link
// below a drive's root or leads into the fleet's folder.
int OpenOnMachine(const std::string& host, int flags, mode_t mode = 0);

// The same as a first try: a missing path (ENOENT) is not looked for again below a drive's
// root made anew meanwhile, for a caller that goes on with OpenOnMachine when it is missing.
int TryOpenOnMachine(const std::string& host, int flags);

// Opens (O_PATH) the folder that holds the last component of host under the same rules and
// gives that component's name, for the calls that act on a name in a folder (mkdirat,
// unlinkat, renameat, fstatat without following links). A drive's root, the fleet's folder
// and the folders above it are refused (EACCES): no call may remove or move them.
int OpenParentOnMachine(const std::string& host, std::string& leaf);

// Whether a Linux path, with its links followed as far as it exists, lies in the fleet's
// folder (the folder itself included).
bool IsInFleetFolder(const std::string& path);

// Tests only: false makes the opens walk one component at a time and check the result through
// /proc/self/fd, as they do where the kernel has no openat2.
void UseOpenat2ForTests(bool use);

} // namespace winport::posix
