// The stream the JPEG is written through, over the file that claimed its name: every byte lands
// once and in order, and a write the system refuses is never answered as done.
#include "platform/file_stream_host.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "platform/com_owner.h"
#include "tests/support/test_files.h"

namespace {

// A file this run may read but not write, as the stream would meet one the system refuses.
host::FileHandle OpenForReadingOnly(const std::wstring& path) {
#ifdef _WIN32
    return reinterpret_cast<host::FileHandle>(CreateFileW(path.c_str(), GENERIC_READ,
                                                          FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                          nullptr, OPEN_EXISTING, 0, nullptr));
#else
    return open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
#endif
}

void CloseFile(host::FileHandle file) {
#ifdef _WIN32
    CloseHandle(reinterpret_cast<HANDLE>(file));
#else
    close(static_cast<int>(file));
#endif
}

TEST(FileStreamTest, WritesLandInOrderOrFail) {
    struct Case {
        const char* label;
        bool claimed;                     // false: the file is open for reading only
        std::vector<std::size_t> pieces;  // sizes of the writes, in order
    };
    const Case cases[] = {
        {"pieces as an encoder writes them, one of a photo's size",
         true,
         {2, 4096, 1, 5u << 20, 0, 300}},
        {"a file the system will not write", false, {4096}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder folder;
        const std::wstring path = folder / L"out.jpg";
        host::FileHandle file = host::kNoFile;
        if (c.claimed) {
            ASSERT_EQ(host::CreateNewFile(path, file), 0u);
        } else {
            WriteTestFile(path, "");
            file = OpenForReadingOnly(path);
        }
        std::size_t total = 0;
        for (const std::size_t piece : c.pieces) total += piece;
        const std::string bytes = PatternBytes(total);

        ComOwner<IStream> stream;
        ASSERT_EQ(host::CreateStreamOnFile(file, stream.put()), S_OK);
        std::size_t at = 0;
        for (const std::size_t piece : c.pieces) {
            ULONG written = 0;
            const HRESULT hr =
                stream->Write(bytes.data() + at, static_cast<ULONG>(piece), &written);
            EXPECT_EQ(SUCCEEDED(hr), c.claimed) << std::hex << hr;
            if (c.claimed) {
                EXPECT_EQ(written, piece);
            }
            at += piece;
        }
        EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
        stream.reset();
        if (c.claimed) {
            ASSERT_EQ(host::FinishNewFile(file, path), 0u);
        } else {
            CloseFile(file);
        }
        EXPECT_EQ(ReadTestFile(path), c.claimed ? bytes : std::string()) << "bytes differ";
    }
}

#ifdef _WIN32
// WIC's encoder seeks back over what it wrote, asks the size and cuts the file; each step over
// the real file, from where the one before it left the position.
TEST(FileStreamTest, SeekReadSizeAndStatusActOnTheFile) {
    TempFolder folder;
    const std::wstring path = folder / L"out.jpg";
    host::FileHandle file = host::kNoFile;
    ASSERT_EQ(host::CreateNewFile(path, file), 0u);
    ComOwner<IStream> stream;
    ASSERT_EQ(host::CreateStreamOnFile(file, stream.put()), S_OK);
    ASSERT_EQ(stream->Write("0123456789", 10, nullptr), S_OK);

    struct Step {
        const char* label;
        LONGLONG move;
        DWORD origin;
        ULONGLONG position;  // after the seek
        ULONG read;          // bytes then asked for
        const char* got;
        HRESULT readAnswer;
    };
    const Step steps[] = {
        {"back from the end of the writing", -3, STREAM_SEEK_CUR, 7, 2, "78", S_OK},
        {"on from where the read left", 1, STREAM_SEEK_CUR, 10, 0, "", S_OK},
        {"from the start", 2, STREAM_SEEK_SET, 2, 3, "234", S_OK},
        {"before the end", -2, STREAM_SEEK_END, 8, 5, "89", S_FALSE},
        {"nowhere", 0, STREAM_SEEK_CUR, 10, 1, "", S_FALSE},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.label);
        LARGE_INTEGER move{};
        move.QuadPart = s.move;
        ULARGE_INTEGER position{};
        ASSERT_EQ(stream->Seek(move, s.origin, &position), S_OK);
        EXPECT_EQ(position.QuadPart, s.position);
        char buffer[16] = {};
        ULONG read = 99;
        EXPECT_EQ(stream->Read(buffer, s.read, &read), s.readAnswer);
        EXPECT_EQ(std::string(buffer, read), s.got);
    }

    // Cut to four bytes: the size says so, the position stays where it was.
    ULARGE_INTEGER size{};
    size.QuadPart = 4;
    ASSERT_EQ(stream->SetSize(size), S_OK);
    STATSTG status{};
    ASSERT_EQ(stream->Stat(&status, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(status.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(status.cbSize.QuadPart, 4u);
    ULARGE_INTEGER position{};
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 10u);
    stream.reset();
    ASSERT_EQ(host::FinishNewFile(file, path), 0u);
    EXPECT_EQ(ReadTestFile(path), "0123");
}
#endif

}  // namespace
