#include <new>
#include <string>
#include <vector>

#include "app/posix/image_memory.h"
#include "app/run_sequence.h"
#include "platform/posix/system/utf8.h"

namespace {

// main's own vectors hold the arguments; there is nothing to give back.
class PosixRunHost final : public SystemRunHost {
  public:
    void FreeArguments(wchar_t**) override {}
};

}  // namespace

// AddressSanitizer brings its own allocator and operator new, and reports memory that one takes
// and the other gives back; the sanitizer and fuzzing builds keep theirs.
#if defined(__SANITIZE_ADDRESS__)
#define HEIC_OWN_OPERATOR_NEW 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HEIC_OWN_OPERATOR_NEW 0
#endif
#endif
#ifndef HEIC_OWN_OPERATOR_NEW
#define HEIC_OWN_OPERATOR_NEW 1
#endif

#if HEIC_OWN_OPERATOR_NEW
// libheif takes its images' planes with new: this is where the heap hears that a whole image is
// coming (see image_memory.h). The library's array and nothrow forms of new come here too; its
// delete frees what malloc gave.
void* operator new(std::size_t size) {
    for (;;) {
        if (void* block = AllocateBlock(size)) return block;
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}
#endif

int main(int argc, char** argv) {
    // Tile buffers kept for the next tile and photo instead of fresh pages for each (see
    // image_memory.h); set before libheif starts a thread, as one heap for all threads holds only
    // for threads started afterwards.
    SetUpImageMemory();

    std::vector<std::wstring> texts;
    texts.reserve(argc);
    for (int i = 0; i < argc; ++i) texts.push_back(FromUtf8(argv[i]));
    std::vector<wchar_t*> arguments;
    for (std::wstring& text : texts) arguments.push_back(text.data());
    arguments.push_back(nullptr);

    PosixRunHost host;
    return RunSequence(argc, arguments.data(), host);
}
