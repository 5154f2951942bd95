#include <string>
#include <vector>

#include "app/run_sequence.h"
#include "platform/posix/system/utf8.h"

namespace {

// main's own vectors hold the arguments; there is nothing to give back.
class PosixRunHost final : public SystemRunHost {
  public:
    void FreeArguments(wchar_t**) override {}
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> texts;
    texts.reserve(argc);
    for (int i = 0; i < argc; ++i) texts.push_back(FromUtf8(argv[i]));
    std::vector<wchar_t*> arguments;
    for (std::wstring& text : texts) arguments.push_back(text.data());
    arguments.push_back(nullptr);

    PosixRunHost host;
    return RunSequence(argc, arguments.data(), host);
}
