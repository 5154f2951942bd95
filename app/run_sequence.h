#pragma once
// The whole run of the program, from the split command line to the exit code. The calls it makes
// into the system go through RunHost, so that every way a run can end is provable without COM,
// a dialog or a message box.
#include <string>
#include <vector>

#include "convert/conversion_types.h"
#include "platform/imaging_api.h"

// Exit codes of the process.
inline constexpr int kExitOk = 0;  // every input converted, or nothing was picked
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitCannotStart = 2;

class RunHost {
  public:
    virtual ~RunHost() = default;

    // Gives back the argument array of the split command line once it has been parsed.
    virtual void FreeArguments(wchar_t** arguments) = 0;
    virtual HRESULT InitializeCom() = 0;
    // On success *factory holds a reference that the caller owns.
    virtual HRESULT CreateImagingFactory(IWICImagingFactory** factory) = 0;
    virtual void UninitializeCom() = 0;
    virtual std::vector<std::wstring> PickInputFiles() = 0;
    virtual ConversionResult ConvertFile(IWICImagingFactory* factory, const std::wstring& inputPath,
                                         const ConversionOptions& options) = 0;
    virtual void ShowCompletionSummary(const std::vector<ConversionResult>& results) = 0;
    virtual void ShowErrorBox(const wchar_t* text) = 0;
};

// The system's own calls. Who owns the argument array depends on the entry point, so each entry
// says how to give it back.
class SystemRunHost : public RunHost {
  public:
    HRESULT InitializeCom() override;
    HRESULT CreateImagingFactory(IWICImagingFactory** factory) override;
    void UninitializeCom() override;
    std::vector<std::wstring> PickInputFiles() override;
    ConversionResult ConvertFile(IWICImagingFactory* factory, const std::wstring& inputPath,
                                 const ConversionOptions& options) override;
    void ShowCompletionSummary(const std::vector<ConversionResult>& results) override;
    void ShowErrorBox(const wchar_t* text) override;
};

// arguments is the array the command line was split into, or null when it could not be split;
// it is handed back to the host as soon as it has been parsed. Returns the process exit code.
int RunSequence(int argumentCount, wchar_t** arguments, RunHost& host);
