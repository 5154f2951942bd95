#pragma once
// For the bad-input matrix: runs the Linux program as a user would, with a watchdog, photographs
// folders so that a test can tell every byte that a run changed, and crafts broken and
// misleading input files from a good HEIC.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct ProgramRun {
    int exitCode = -1;  // -1 when the program did not end by itself
    int signal = 0;     // the signal that ended it, or 0
    bool hung = false;  // killed by the watchdog
    std::string out;    // standard output: information boxes
    std::string err;    // standard error: error boxes, and any sanitizer report
};

struct RunSettings {
    std::wstring workingFolder{};  // empty: the test's own
    // Run as an ordinary user, so that permission bits bind even when the tests run as root;
    // the folders the program must read or write have to be open to that user.
    bool unprivileged = false;
};

// Runs the heic-to-jpeg of this build with these arguments after the program
// name. Throws when the program cannot be started. A run that outlives a generous watchdog is
// killed and marked hung.
ProgramRun RunConverter(const std::vector<std::wstring>& arguments,
                        const RunSettings& settings = {});

// Whether the run ended by itself, without a signal or a sanitizer report.
testing::AssertionResult EndedCleanly(const ProgramRun& run);

testing::AssertionResult BeginsWith(const std::string& text, const std::string& head);

// Hands a folder and all it holds to the user of unprivileged runs (only needed when the tests
// run as root), and opens it to every user.
void OpenToUnprivilegedUser(const std::wstring& folder);

// Every entry under a folder by its relative path: a file's bytes, or a mark for a folder.
using FolderSnapshot = std::map<std::string, std::string>;
FolderSnapshot Snapshot(const std::wstring& folder);

// What a run may have changed under a folder: the JPEGs it wrote (relative paths; each must be
// a complete JPEG of `width` x `height`), entries it replaced by such a JPEG, and entries it
// removed. Everything else must be byte for byte as before.
struct ExpectedChanges {
    std::set<std::string> written{};  // a name that ends in "/" is a folder made
    std::set<std::string> replaced{};
    std::set<std::string> removed{};
};
testing::AssertionResult ChangedOnly(const std::wstring& folder, const FolderSnapshot& before,
                                     const ExpectedChanges& expected, int width, int height);

// The failure report of the summary up to the support address, for these failures (display
// name, message) in order.
std::string FailureReport(int succeeded,
                          const std::vector<std::pair<std::string, std::string>>& failures);

// Crafted files. Each takes the bytes of a small good HEIC made by libheif's encoder.
// The box at the top level of the file that has this type, as (offset, size); throws if absent.
std::pair<std::size_t, std::size_t> TopLevelBox(const std::string& heic, const char* type);
// Every "ispe" box of the file declares width x height.
std::string WithDeclaredSize(std::string heic, std::uint32_t width, std::uint32_t height);
// The image grid's canvas, kept in the meta box's "idat", declares width x height while every
// "ispe" keeps the picture's own size. libheif's encoder stores even a small picture as a grid of
// one tile; throws when the file holds no such grid.
std::string WithGridCanvas(std::string heic, std::uint16_t width, std::uint16_t height);
// The still image's "meta" box hidden as "free" and a movie box with one video track after it:
// what a file holding only an image sequence looks like. `brand` is the file type's major brand.
std::string AsSequenceOnly(const std::string& heic, const char* brand);
// A valid 8 x 8 grey PNG (stored, uncompressed deflate).
std::string SmallPng();
