#pragma once
// Windows' share modes on this host, as far as the program leans on them: the output stream
// writes a file under an exclusive lock (flock), and removal takes the same lock first, so that
// a file one run is writing can be neither opened for writing nor removed by another run.
// Answers are Windows error codes (0 for success), as the other host primitives give them.
#include <cstdint>
#include <string>

// Opens the file at path for writing, creating it when missing, and locks it. It is emptied
// only once the lock is held, so another writer's file is never cut short; a file locked by
// another writer answers ERROR_SHARING_VIOLATION (32). On success `descriptor` is the open file;
// closing it ends the lock.
std::uint32_t OpenLockedForWriting(const std::string& path, int& descriptor);

// Holds the lock on a regular file while it is removed. A file this process may not read is no
// writer's of ours, so removal goes on without the lock.
class RemovalLock {
  public:
    RemovalLock() = default;
    ~RemovalLock();
    RemovalLock(const RemovalLock&) = delete;
    RemovalLock& operator=(const RemovalLock&) = delete;

    // 0, or ERROR_SHARING_VIOLATION while a writer holds the file.
    std::uint32_t Take(const std::string& path);

  private:
    int descriptor_ = -1;
};
