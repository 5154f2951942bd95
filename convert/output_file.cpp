#include "convert/output_file.h"

#include <cstdint>

#include "convert/file_system.h"
#include "convert/output_naming.h"
#include "platform/file_system_host.h"

namespace {

// A name taken again and again between its choice and its claim means others keep racing us
// for it; the input then fails instead of searching without end.
constexpr int kClaimAttempts = 100;

}  // namespace

// Identity, not spelling, decides: X.JPG and x.jpg are one file where names ignore case, and a
// link named like the JPEG may lead to the input itself.
OutputFile::OutputFile(const std::wstring& absoluteInputPath, const ConversionOptions& options)
    : inputPath_(absoluteInputPath),
      outputDir_(options.outputDir),
      overwrite_(options.overwrite),
      path_(overwrite_ ? ChooseOutputPath(absoluteInputPath, options)
                       : ChooseFreeOutputPath(absoluteInputPath, outputDir_, number_)) {
    if (overwrite_ && IsSameFile(inputPath_, path_)) {
        overwrite_ = false;
        path_ = ChooseFreeOutputPath(inputPath_, outputDir_, number_);
    }
}

// Runs after the stream and encoders have let go of the file (they are declared after this
// owner); Windows refuses to delete a file that is still open without delete sharing.
OutputFile::~OutputFile() {
    if (ours_) TryRemovePath(path_);
}

void OutputFile::PrepareLocation() {
    PrepareOutputLocation(path_, overwrite_);
}

HRESULT OutputFile::Claim() {
    for (int attempt = 1;; ++attempt) {
        const std::uint32_t error = host::CreateNewFile(path_);
        if (error == 0) {
            ours_ = true;
            return S_OK;
        }
        if (error != host::kErrorFileExists) return HRESULT_FROM_WIN32(error);
        // Overwriting, a file that appeared since the removal is the stream's to open: its
        // sharing rules keep another run's JPEG whole.
        if (overwrite_ && NameTaken(path_)) return S_OK;
        if (attempt == kClaimAttempts) ThrowFileSystemError("exists", path_, error);
        // Taken since the choice by another run, or by an entry that no query shows (Wine hides
        // a link that leads nowhere from all but this exclusive creation): the next free number.
        overwrite_ = false;
        ++number_;
        path_ = ChooseFreeOutputPath(inputPath_, outputDir_, number_);
    }
}
