// What only this host shows of the output stream: a disk that fills, and a write the system takes
// only in part (a signal while it waits), whose rest must follow and not start over.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <thread>

#include "platform/com_owner.h"
#include "platform/file_stream_host.h"
#include "tests/support/test_files.h"

namespace {

constexpr std::size_t kPipeFill = 64 * 1024;  // what a pipe holds before its writer waits

// A descriptor to write to, and what reached its other end once the writing is over.
struct Sink {
    int descriptor = -1;
    std::function<std::string()> arrived;
};

// A pipe whose reader, once the writer waits on a full pipe, interrupts it with a signal: the
// write returns what it took so far, and the reader then takes the rest.
Sink InterruptedPipe(std::thread& reader, std::string& got) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return {};
    const pthread_t writer = pthread_self();
    reader = std::thread([&got, writer, in = ends[0]] {
        char buffer[4096];
        bool interrupted = false;
        for (;;) {
            const ssize_t n = read(in, buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
            if (!interrupted && got.size() >= kPipeFill) {
                interrupted = true;
                pthread_kill(writer, SIGUSR1);
            }
        }
        close(in);
    });
    return {ends[1], [&reader, &got, out = ends[1]] {
                close(out);
                reader.join();
                return got;
            }};
}

// Every write to /dev/full fails as a full disk does.
Sink FullDisk() {
    const int descriptor = open("/dev/full", O_WRONLY | O_CLOEXEC);
    return {descriptor, [descriptor] {
                close(descriptor);
                return std::string();
            }};
}

TEST(FileStreamPosixTest, AWriteTakenInPartGoesOnAndAFullDiskFails) {
    struct sigaction ignore {};
    ignore.sa_handler = [](int) {};
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGUSR1, &ignore, &saved), 0);

    const std::string bytes = PatternBytes(std::size_t{1} << 20);
    struct Case {
        const char* label;
        HRESULT expected;
    };
    const Case cases[] = {
        {"a pipe whose reader interrupts the writer", S_OK},
        {"a full disk", HRESULT_FROM_WIN32(ERROR_DISK_FULL)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::thread reader;
        std::string got;
        Sink sink = c.expected == S_OK ? InterruptedPipe(reader, got) : FullDisk();
        ASSERT_GE(sink.descriptor, 0);
        ComOwner<IStream> stream;
        ASSERT_EQ(host::CreateStreamOnFile(sink.descriptor, stream.put()), S_OK);
        ULONG written = 99;
        EXPECT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written),
                  c.expected);
        EXPECT_EQ(written, c.expected == S_OK ? bytes.size() : 0u);
        stream.reset();
        const std::string arrived = sink.arrived();
        if (c.expected == S_OK) {
            EXPECT_TRUE(arrived == bytes) << arrived.size() << " bytes arrived";
        }
    }
    sigaction(SIGUSR1, &saved, nullptr);
}

}  // namespace
