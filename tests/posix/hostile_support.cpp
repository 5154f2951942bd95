#include "tests/posix/hostile_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "platform/posix/system/utf8.h"
#include "tests/posix/image_fixtures.h"
#include "tests/support/test_files.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Far beyond any honest run of a few small files; only a hang reaches it.
constexpr auto kWatchdog = std::chrono::seconds(120);

constexpr uid_t kUnprivilegedId = 65534;  // "nobody"

// Sanitizer reports end the program with exit codes of their own, which cannot pass for 0, 1 or 2.
constexpr const char* kSanitizerOptions[] = {"ASAN_OPTIONS=exitcode=86",
                                             "UBSAN_OPTIONS=halt_on_error=1:exitcode=87"};

class Pipe {
  public:
    Pipe() {
        if (::pipe2(ends_.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int read() const { return ends_[0]; }
    int write() const { return ends_[1]; }
    void CloseRead() { Close(ends_[0]); }
    void CloseWrite() { Close(ends_[1]); }

  private:
    static void Close(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    std::array<int, 2> ends_{-1, -1};
};

// The program of the build these tests belong to.
std::string ProgramPath() {
    const std::string program = std::string(HEIC_PROGRAM_FOLDER) + "/heic-to-jpeg";
    if (::access(program.c_str(), X_OK) != 0) throw std::runtime_error(program + " is missing");
    return program;
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void StartChild(const std::vector<char*>& argv, const std::vector<char*>& envp,
                             const std::string& workingFolder, bool dropPrivileges, int out,
                             int err) {
    if (::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(126);
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0) ::_exit(126);
    if (!workingFolder.empty() && ::chdir(workingFolder.c_str()) != 0) ::_exit(126);
    if (dropPrivileges && (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
                           ::setuid(kUnprivilegedId) != 0)) {
        ::_exit(126);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

// Reads both pipes to their end, or until the deadline; false when the deadline came first.
bool Drain(int out, int err, ProgramRun& run) {
    const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
    std::array<pollfd, 2> fds{pollfd{out, POLLIN, 0}, pollfd{err, POLLIN, 0}};
    std::array<std::string*, 2> sinks{&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) throw std::runtime_error("poll failed");
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return true;
}

bool IsCompleteJpeg(const std::string& bytes) {
    return bytes.size() > 4 && bytes.compare(0, 3, "\xFF\xD8\xFF") == 0 &&
           bytes.compare(bytes.size() - 2, 2, "\xFF\xD9") == 0;
}

testing::AssertionResult IsJpegOfSize(const std::wstring& folder, const std::string& name,
                                      const std::string& bytes, int width, int height) {
    if (!IsCompleteJpeg(bytes)) return testing::AssertionFailure() << name << " is no whole JPEG";
    try {
        const JpegFileInfo info = ReadJpegFile(folder + L"/" + FromUtf8(name));
        if (info.picture.width != width || info.picture.height != height) {
            return testing::AssertionFailure()
                   << name << " is " << info.picture.width << " x " << info.picture.height;
        }
    } catch (const std::exception& error) {
        return testing::AssertionFailure() << name << ": " << error.what();
    }
    return testing::AssertionSuccess();
}

void AppendUint32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

std::uint32_t ReadUint32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::string Box(const char* type, const std::string& payload) {
    std::string box;
    AppendUint32(box, static_cast<std::uint32_t>(8 + payload.size()));
    box.append(type, 4);
    return box + payload;
}

std::string FullBox(const char* type, const std::string& payload) {
    return Box(type, std::string(4, '\0') + payload);  // version 0, no flags
}

std::uint32_t Crc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string PngChunk(const char* type, const std::string& data) {
    std::string chunk;
    AppendUint32(chunk, static_cast<std::uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    chunk += body;
    AppendUint32(chunk, Crc32(body));
    return chunk;
}

}  // namespace

ProgramRun RunConverter(const std::vector<std::wstring>& arguments, const RunSettings& settings) {
    std::vector<std::string> texts{ProgramPath()};
    for (const std::wstring& argument : arguments) texts.push_back(ToUtf8(argument));
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "ASAN_OPTIONS=", 13) != 0 &&
            std::strncmp(*entry, "UBSAN_OPTIONS=", 14) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.insert(environment.end(), std::begin(kSanitizerOptions),
                       std::end(kSanitizerOptions));
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const std::string workingFolder = ToUtf8(settings.workingFolder);
    const bool dropPrivileges = settings.unprivileged && ::geteuid() == 0;
    Pipe out;
    Pipe err;
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) StartChild(argv, envp, workingFolder, dropPrivileges, out.write(), err.write());
    out.CloseWrite();
    err.CloseWrite();

    ProgramRun run;
    if (!Drain(out.read(), err.read(), run)) {
        ::kill(child, SIGKILL);
        run.hung = true;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127) {
            throw std::runtime_error("the program could not be started as asked");
        }
        if (!run.hung) run.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status) && !run.hung) {
        run.signal = WTERMSIG(status);
    }
    return run;
}

testing::AssertionResult EndedCleanly(const ProgramRun& run) {
    if (run.hung) return testing::AssertionFailure() << "hung; killed by the watchdog";
    if (run.signal != 0) return testing::AssertionFailure() << "killed by signal " << run.signal;
    if (run.err.find("Sanitizer") != std::string::npos ||
        run.err.find("runtime error:") != std::string::npos) {
        return testing::AssertionFailure() << "sanitizer report:\n" << run.err;
    }
    if (run.exitCode < 0 || run.exitCode > 2) {
        return testing::AssertionFailure() << "exit code " << run.exitCode << "\n" << run.err;
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult BeginsWith(const std::string& text, const std::string& head) {
    if (text.compare(0, head.size(), head) == 0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\n" << text << "\ndoes not begin with\n" << head;
}

void OpenToUnprivilegedUser(const std::wstring& folder) {
    const fs::path root = NativePath(folder);
    const auto open = [](const fs::path& entry) {
        if (::geteuid() == 0 && ::lchown(entry.c_str(), kUnprivilegedId, kUnprivilegedId) != 0) {
            throw std::runtime_error("lchown failed");
        }
        // A link has no permissions of its own; its target may not even exist.
        if (!fs::is_symlink(entry)) fs::permissions(entry, fs::perms::all, fs::perm_options::add);
    };
    open(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) open(entry.path());
}

FolderSnapshot Snapshot(const std::wstring& folder) {
    const fs::path root = NativePath(folder);
    FolderSnapshot snapshot;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().lexically_relative(root).string();
        if (entry.is_symlink()) {
            snapshot[name] = "<link " + fs::read_symlink(entry.path()).string() + ">";
        } else if (entry.is_directory()) {
            snapshot[name] = "<folder>";
        } else if (entry.is_regular_file()) {
            snapshot[name] = ReadTestFile(FromUtf8(entry.path().string()));
        } else {
            snapshot[name] = "<special>";  // reading a FIFO would wait for a writer
        }
    }
    return snapshot;
}

testing::AssertionResult ChangedOnly(const std::wstring& folder, const FolderSnapshot& before,
                                     const ExpectedChanges& expected, int width, int height) {
    const FolderSnapshot after = Snapshot(folder);
    for (const auto& [name, bytes] : before) {
        const auto now = after.find(name);
        if (expected.removed.count(name) != 0) {
            if (now != after.end())
                return testing::AssertionFailure() << name << " was not removed";
        } else if (now == after.end()) {
            return testing::AssertionFailure() << name << " disappeared";
        } else if (expected.replaced.count(name) != 0) {
            if (now->second == bytes)
                return testing::AssertionFailure() << name << " was not replaced";
            if (auto jpeg = IsJpegOfSize(folder, name, now->second, width, height); !jpeg)
                return jpeg;
        } else if (now->second != bytes) {
            return testing::AssertionFailure() << name << " was changed";
        }
    }
    for (const auto& [name, bytes] : after) {
        if (before.count(name) != 0) continue;
        if (bytes == "<folder>" && expected.written.count(name + "/") != 0) continue;
        if (expected.written.count(name) == 0) {
            return testing::AssertionFailure() << name << " appeared";
        }
        if (auto jpeg = IsJpegOfSize(folder, name, bytes, width, height); !jpeg) return jpeg;
    }
    for (std::string name : expected.written) {
        if (name.ends_with('/')) name.pop_back();
        if (after.count(name) == 0 || before.count(name) != 0) {
            return testing::AssertionFailure() << name << " was not written";
        }
    }
    return testing::AssertionSuccess();
}

std::string FailureReport(int succeeded,
                          const std::vector<std::pair<std::string, std::string>>& failures) {
    std::string report = "성공: " + std::to_string(succeeded) +
                         "개\n실패: " + std::to_string(failures.size()) + "개\n\n";
    for (const auto& [name, message] : failures) report += "- " + name + ": " + message + "\n";
    return report + "\n문의: ORVIK 전략팀 · ";
}

std::pair<std::size_t, std::size_t> TopLevelBox(const std::string& heic, const char* type) {
    std::size_t at = 0;
    while (at + 8 <= heic.size()) {
        std::size_t size = ReadUint32(heic, at);
        if (size == 0) size = heic.size() - at;
        if (size < 8 || at + size > heic.size()) break;
        if (heic.compare(at + 4, 4, type) == 0) return {at, size};
        at += size;
    }
    throw std::runtime_error(std::string("no top-level box ") + type);
}

std::string WithDeclaredSize(std::string heic, std::uint32_t width, std::uint32_t height) {
    const auto [meta, metaSize] = TopLevelBox(heic, "meta");
    std::size_t patched = 0;
    for (std::size_t at = heic.find("ispe", meta); at != std::string::npos && at < meta + metaSize;
         at = heic.find("ispe", at + 4)) {
        std::string size;
        AppendUint32(size, width);
        AppendUint32(size, height);
        heic.replace(at + 8, 8, size);  // after the type: version and flags, then the size
        ++patched;
    }
    if (patched == 0) throw std::runtime_error("no ispe box to patch");
    return heic;
}

std::string WithGridCanvas(std::string heic, std::uint16_t width, std::uint16_t height) {
    const auto [meta, metaSize] = TopLevelBox(heic, "meta");
    const std::size_t idat = heic.find("idat", meta);
    // A grid descriptor with 16-bit fields: version, flags, rows - 1, columns - 1, width, height.
    if (idat == std::string::npos || idat >= meta + metaSize || ReadUint32(heic, idat - 4) != 16 ||
        heic[idat + 4] != 0 || heic[idat + 5] != 0) {
        throw std::runtime_error("no grid descriptor of one tile to patch");
    }
    const char canvas[4] = {static_cast<char>(width >> 8), static_cast<char>(width & 0xFF),
                            static_cast<char>(height >> 8), static_cast<char>(height & 0xFF)};
    heic.replace(idat + 8, 4, canvas, 4);
    return heic;
}

std::string AsSequenceOnly(const std::string& heic, const char* brand) {
    const auto [mdat, mdatSize] = TopLevelBox(heic, "mdat");
    std::string fileType = std::string(brand, 4) + std::string(4, '\0') + std::string(brand, 4);
    fileType += "msf1iso8";
    const std::string handler = FullBox(
        "hdlr", std::string(4, '\0') + "vide" + std::string(12, '\0') + std::string(1, '\0'));
    const std::string track =
        Box("trak", FullBox("tkhd", std::string(80, '\0')) +
                        Box("mdia", FullBox("mdhd", std::string(20, '\0')) + handler));
    const std::string movie = Box("moov", FullBox("mvhd", std::string(96, '\0')) + track);
    return Box("ftyp", fileType) + movie + heic.substr(mdat, mdatSize);
}

std::string SmallPng() {
    constexpr int kSide = 8;
    std::string header;
    AppendUint32(header, kSide);
    AppendUint32(header, kSide);
    header += std::string("\x08\x00\x00\x00\x00", 5);  // 8-bit grey, no interlace

    std::string rows;
    for (int y = 0; y < kSide; ++y) {
        rows.push_back('\0');  // no filter
        for (int x = 0; x < kSide; ++x) rows.push_back(static_cast<char>(x * 30 + y * 4));
    }
    // zlib stream with one stored deflate block.
    std::string deflated("\x78\x01\x01", 3);
    const auto length = static_cast<std::uint16_t>(rows.size());
    deflated.push_back(static_cast<char>(length & 0xFF));
    deflated.push_back(static_cast<char>(length >> 8));
    deflated.push_back(static_cast<char>(~length & 0xFF));
    deflated.push_back(static_cast<char>((~length >> 8) & 0xFF));
    deflated += rows;
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (const char c : rows) {
        a = (a + static_cast<unsigned char>(c)) % 65521;
        b = (b + a) % 65521;
    }
    AppendUint32(deflated, (b << 16) | a);

    return std::string("\x89PNG\r\n\x1A\n", 8) + PngChunk("IHDR", header) +
           PngChunk("IDAT", deflated) + PngChunk("IEND", "");
}
