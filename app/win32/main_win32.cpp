#include <windows.h>
#include <shellapi.h>

#include "app/run_sequence.h"

namespace {

// CommandLineToArgvW allocates the array with LocalAlloc.
class Win32RunHost final : public SystemRunHost {
  public:
    void FreeArguments(wchar_t** arguments) override { LocalFree(arguments); }
};

}  // namespace

// The parameters are not used: the command line is read again in its full, unsplit form.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argumentCount = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    Win32RunHost host;
    return RunSequence(argumentCount, arguments, host);
}
