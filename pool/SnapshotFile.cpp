// The one reader of snapshot files, for a load and for kvpool alike: every
// refusal comes with its reason.
#include "pool/SnapshotFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "pool/PoolBackend.h"  // decimalText: std::to_string would export a table
#include "pool/PoolRecords.h"
#include "support/FileIo.h"
#include "support/KvPoolConstants.h"
#include "support/UniqueFd.h"

namespace {

using kvpool::kPoolHeaderBytes;
using kvpool::SnapshotImage;
using kvpool::SnapshotRefusal;

SnapshotImage refused(SnapshotRefusal refusal, std::string reason) {
  SnapshotImage image;
  image.refusal = refusal;
  image.reason = std::move(reason);
  return image;
}

std::string bytesText(int64_t bytes) {
  return kvpool::decimalText(bytes) + " bytes";
}

// Opens path as a snapshot may be opened: no link followed, no blocking on a
// FIFO, only a regular file of one name. On a refusal *image says why.
kvpool::UniqueFd openSnapshot(const std::string& path, struct stat* status, SnapshotImage* image) {
  kvpool::UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) {
    const int error = errno;
    if (error == ELOOP) {
      *image =
          refused(SnapshotRefusal::kLink,
                  path + " is a symbolic link: refused (a snapshot is never read through a link)");
    } else {
      *image = refused(error == ENOENT ? SnapshotRefusal::kMissing : SnapshotRefusal::kUnopenable,
                       "cannot open " + path + ": " + std::strerror(error));
    }
  } else if (fstat(file.get(), status) != 0) {
    *image = refused(SnapshotRefusal::kUnopenable,
                     "cannot look at " + path + ": fstat failed: " + std::strerror(errno));
  } else if (!S_ISREG(status->st_mode)) {
    *image = refused(SnapshotRefusal::kNotRegular, path + " is " +
                                                       kvpool::describeFileKind(status->st_mode) +
                                                       ", not a regular file: refused");
  } else if (status->st_nlink != 1) {
    *image = refused(SnapshotRefusal::kSeveralLinks,
                     path + " is a regular file with " + kvpool::decimalText(status->st_nlink) +
                         " links: refused (a snapshot is read through its one name only)");
  } else if (status->st_uid != geteuid() && status->st_uid != 0) {
    // /tmp is anyone's: a file another user placed there would put their
    // records into this user's pool.
    *image = refused(SnapshotRefusal::kForeignOwner,
                     path + " belongs to uid " + kvpool::decimalText(status->st_uid) +
                         ", neither this user (uid " + kvpool::decimalText(geteuid()) +
                         ") nor root: refused (a snapshot another user placed is never read)");
  } else {
    return file;
  }
  return kvpool::UniqueFd();
}

// The header of a file of size bytes must describe exactly those bytes.
SnapshotImage checkHeader(int fd, const std::string& path, int64_t size) {
  if (size <= kPoolHeaderBytes) {
    return refused(SnapshotRefusal::kTooSmall,
                   path + " has " + bytesText(size) + ", no more than a pool's header: refused");
  }
  unsigned char header[kPoolHeaderBytes];
  if (kvpool::readAllAt(fd, header, sizeof header, 0) != sizeof header) {
    return refused(
        SnapshotRefusal::kUnreadable,
        "cannot read " + path + ": " + (errno == 0 ? "it shrank" : std::strerror(errno)));
  }
  const int32_t usedSize = kvpool::readPoolControl(header).usedSize;
  if (usedSize != size) {
    return refused(SnapshotRefusal::kSizeMismatch, path + " has " + bytesText(size) +
                                                       " but its header's usedSize is " +
                                                       kvpool::decimalText(usedSize) + ": refused");
  }
  return SnapshotImage();
}

}  // namespace

SnapshotImage kvpool::readSnapshotImage(const char* path, int64_t mostBytes, SnapshotCheck check,
                                        const char* limitName) {
  const std::string name(path);
  const bool whole = check == SnapshotCheck::kWhole;
  mostBytes = std::clamp<int64_t>(mostBytes, 0, INT32_MAX);
  SnapshotImage image;
  struct stat status {};
  const UniqueFd file = openSnapshot(name, &status, &image);
  if (!file.valid()) return image;
  if (whole) {
    image = checkHeader(file.get(), name, status.st_size);
    if (!image.read()) return image;
  }
  const std::string limit = std::string(limitName) + " (" + bytesText(mostBytes) + ")";
  if (status.st_size > mostBytes) {
    return refused(SnapshotRefusal::kTooLarge, name + " has " + bytesText(status.st_size) +
                                                   ", more than " + limit + ": refused");
  }
  // At most one byte past the bound, so that a file growing while it is
  // read is refused rather than read without end.
  const auto bound = static_cast<std::size_t>(mostBytes) + 1;
  std::vector<unsigned char>& bytes = image.bytes;
  bytes.resize(std::min(static_cast<std::size_t>(status.st_size) + 1, bound));
  std::size_t done = 0;
  for (;;) {
    done +=
        readAllAt(file.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (done < bytes.size()) {
      if (errno != 0)
        return refused(SnapshotRefusal::kUnreadable,
                       "cannot read " + name + ": " + std::strerror(errno));
      break;
    }
    if (done >= bound) {
      return refused(SnapshotRefusal::kTooLarge,
                     name + " grew past " + limit + " while it was read: refused");
    }
    bytes.resize(std::min(done * 2, bound));
  }
  bytes.resize(done);
  if (!whole) return image;
  if (static_cast<int64_t>(done) != status.st_size) {
    return refused(SnapshotRefusal::kSizeMismatch,
                   name + " changed size while it was read: refused");
  }
  const PoolDamage damage = checkPoolImage(bytes.data(), static_cast<int32_t>(done));
  if (damage.found()) {
    SnapshotImage damaged = refused(SnapshotRefusal::kDamaged,
                                    name + " is damaged at offset " +
                                        kvpool::decimalText(damage.offset) + ": " + damage.reason);
    damaged.damageOffset = damage.offset;
    return damaged;
  }
  return image;
}

std::string kvpool::describeFileKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}
