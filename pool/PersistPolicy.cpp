// KVPOOL_PERSIST across a pool's life (pool/PersistPolicy.h): the record in
// the journal's flags, the warning of a differing setting, and what the
// machine's last node does.
#include "pool/PersistPolicy.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "pool/PoolBackend.h"  // decimalText
#include "pool/PoolSettings.h"
#include "pool/SegmentLifecycle.h"
#include "pool/StoreJournal.h"
#include "support/KvPoolConstants.h"
#include "support/KvPoolUtil.h"
#include "support/Trace.h"

namespace kvpool {
namespace {

// The flags change only under the writer lock, but status and joining
// processes read them without it: every access is one atomic step.
uint32_t flagsOf(const StoreJournal* journal) {
  return journal == nullptr ? 0 : __atomic_load_n(&journal->flags, __ATOMIC_ACQUIRE);
}

void changeFlags(StoreJournal* journal, uint32_t clear, uint32_t set) {
  if (journal == nullptr) return;
  __atomic_and_fetch(&journal->flags, ~clear, __ATOMIC_ACQ_REL);
  __atomic_or_fetch(&journal->flags, set, __ATOMIC_ACQ_REL);
}

void recordKept(StoreJournal* journal, PoolKept kept) {
  changeFlags(journal, kJournalKeptMask, static_cast<uint32_t>(kept) << kJournalKeptShift);
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Anything at the path, a link or a FIFO included: a save would replace it.
bool somethingAt(const char* path) {
  struct stat status {};
  return lstat(path, &status) == 0;
}

// The decision of the machine's last node before any save: kNot when the
// pool may be saved (or, without any setting, simply removed).
PoolKept keepWithoutSaving(const PoolPersistFacts& pool, const char* path, bool journaled) {
  if (path == nullptr) return PoolKept::kNoSetting;
  if (pool.pathTag != 0 && pool.pathTag != persistPathTag(path)) return PoolKept::kOtherFile;
  // A pool without a journal records nothing: this process's setting is all
  // there is to go by.
  if (journaled && !pool.savesOverFile && somethingAt(path)) return PoolKept::kFileNotLoaded;
  return PoolKept::kNot;
}

}  // namespace

bool checkPersistFolder(const std::string& path, std::string* problem) {
  const std::string folder = folderOf(path);
  struct stat status {};
  std::string wrong;
  if (stat(folder.c_str(), &status) != 0) {
    wrong = "its folder " + folder + " cannot be used: " + std::strerror(errno);
  } else if (!S_ISDIR(status.st_mode)) {
    wrong = "its folder " + folder + " is not a folder";
  } else if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    wrong = "this process's user (uid " + decimalText(geteuid()) + ") may not make files in " +
            folder + ": " + std::strerror(errno);
  }
  if (wrong.empty()) return true;
  *problem = "KVPOOL_PERSIST \"" + path + "\": " + wrong + " (no save could be made there)";
  return false;
}

uint32_t persistPathTag(const char* path) {
  if (path == nullptr) return 0;
  WordHash hash(0);
  hash.add(path, std::strlen(path));
  return (hash.sum() & (kJournalPathTagMask >> kJournalPathTagShift)) | 1u;
}

PoolPersistFacts readPersistFacts(const StoreJournal* journal) {
  const uint32_t flags = flagsOf(journal);
  PoolPersistFacts facts;
  facts.pathTag = (flags & kJournalPathTagMask) >> kJournalPathTagShift;
  facts.savesOverFile = (flags & kJournalPoolPersistent) != 0;
  facts.kept = static_cast<PoolKept>((flags & kJournalKeptMask) >> kJournalKeptShift);
  return facts;
}

void recordPoolFile(StoreJournal* journal, const char* path, bool loadedFromIt) {
  const uint32_t tag = persistPathTag(path);
  changeFlags(journal, kJournalPathTagMask | kJournalPoolPersistent | kJournalKeptMask,
              (tag << kJournalPathTagShift) |
                  (tag != 0 && loadedFromIt ? uint32_t{kJournalPoolPersistent} : 0u));
}

void adoptPoolFile(const PoolView& pool) {
  const uint32_t mine = persistPathTag(persistPath());
  const PoolPersistFacts facts = readPersistFacts(pool.journal);
  // A copy to some other file (kvpool --file, a backup) binds no pool, but
  // one that puts right what a last node left unsaved does.
  if (mine == 0 || (facts.pathTag != mine && facts.kept == PoolKept::kNot)) return;
  changeFlags(pool.journal, kJournalKeptMask | kJournalPathTagMask,
              (mine << kJournalPathTagShift) | kJournalPoolPersistent);
}

void warnPersistSettingDiffers(bool joined) {
  const char* path = persistPath();
  const uint32_t poolTag = readPersistFacts(processPoolView().journal).pathTag;
  if (poolTag == persistPathTag(path)) return;
  const char* verb = joined ? "joined" : "left";
  std::string text;
  if (path == nullptr) {
    text = std::string("this process, without KVPOOL_PERSIST, ") + verb + " a pool created with it";
  } else if (poolTag == 0) {
    text = std::string("this process, with KVPOOL_PERSIST ") + path + ", " + verb +
           " a pool created without it";
  } else {
    text = std::string("this process's KVPOOL_PERSIST ") + path +
           " is not the file the pool was created with; it " + verb + " the pool";
  }
  text +=
      ": give all brokers the same KVPOOL_PERSIST (a last node whose setting differs keeps "
      "the pool in memory unsaved when saving could lose records, event 19)";
  Log("  %s\n", text.c_str());
  logPoolEvent(CCI_LOG_WARNING, kEventPersistSettingDiffers, kLinePersistSettingDiffers,
               joined ? "createNodeContext" : "deleteNodeContext", text.c_str());
}

bool persistBeforeRemoval(const PoolView& pool) {
  const char* path = persistPath();
  const PoolPersistFacts facts = readPersistFacts(pool.journal);
  if (facts.pathTag == 0 && path == nullptr) return true;
  PoolKept kept = keepWithoutSaving(facts, path, pool.journal != nullptr);
  std::string why;
  if (kept == PoolKept::kNot) {
    if (savePoolToFileLocked(pool, &why) == 0) return true;
    kept = PoolKept::kSaveFailed;
    why = "the pool could not be saved to " + std::string(path) + " (" +
          (why.empty() ? std::string("see /tmp/KvPool.log") : why) + ")";
  } else {
    why = describeKept(kept) + (path != nullptr ? std::string(" (") + path + ")" : "");
  }
  recordKept(pool.journal, kept);
  const std::string text = why + "; it stays in memory for the next node";
  Log("  >deleteNodeContext: %s\n", text.c_str());
  logPoolEvent(CCI_LOG_WARNING, kEventPersistSaveFailed, kLinePersistSaveFailed,
               "deleteNodeContext", text.c_str());
  return false;
}

std::string describeKept(PoolKept kept) {
  switch (kept) {
    case PoolKept::kSaveFailed:
      return "the machine's last node could not save the pool to its file";
    case PoolKept::kNoSetting:
      return "the pool was created with KVPOOL_PERSIST, but the machine's last node had none, "
             "so it was not saved";
    case PoolKept::kOtherFile:
      return "the machine's last node's KVPOOL_PERSIST names another file than the pool was "
             "created with, so it was not saved";
    case PoolKept::kFileNotLoaded:
      return "the pool was not loaded from the file at the machine's last node's "
             "KVPOOL_PERSIST (created without it, or the file was kept in place at creation), "
             "so it was not saved over it";
    default:
      return {};
  }
}

}  // namespace kvpool
