#include "convert/output_file.h"

#include <cstdint>

#include "convert/file_system.h"
#include "convert/output_naming.h"
#include "platform/file_stream_host.h"

namespace {

// A name taken again and again between its choice and its claim means others keep racing us
// for it; the input then fails instead of searching without end.
constexpr int kClaimAttempts = 100;

}  // namespace

OutputFile::OutputFile(const std::wstring& absoluteInputPath, const ConversionOptions& options)
    : inputPath_(absoluteInputPath),
      outputDir_(options.outputDir),
      overwrite_(options.overwrite),
      path_(overwrite_ ? ChooseOutputPath(absoluteInputPath, options)
                       : ChooseFreeOutputPath(absoluteInputPath, outputDir_, number_)) {
    if (overwrite_ && !MayReplace()) {
        overwrite_ = false;
        path_ = ChooseFreeOutputPath(inputPath_, outputDir_, number_);
    }
}

// Runs after the stream and encoders have let go of the file (they are declared after this
// owner, and a finished conversion releases them before its commit).
OutputFile::~OutputFile() {
    host::DiscardNewFile(file_, path_);
}

// Identity, not spelling, decides: X.JPG and x.jpg are one file where names ignore case, and a
// link named like the JPEG may lead to the input itself. PHOTOG~1.JPG may be the short name of
// "photograph of the harbour.jpg", which removing the name would remove.
bool OutputFile::MayReplace() const {
    return !IsSameFile(inputPath_, path_) && host::IsOwnName(path_);
}

void OutputFile::PrepareLocation() {
    PrepareOutputLocation(path_, overwrite_);
}

HRESULT OutputFile::Claim() {
    for (int attempt = 1;; ++attempt) {
        const std::uint32_t error = host::CreateNewFile(path_, file_);
        if (error == 0) return S_OK;
        if (error != host::kErrorFileExists) return HRESULT_FROM_WIN32(error);
        if (attempt == kClaimAttempts) ThrowFileSystemError("exists", path_, error);
        // Overwriting, what came to stand under the name since the removal (another run's JPEG)
        // is replaced too; a JPEG that another run is still writing refuses its removal.
        if (overwrite_ && NameTaken(path_) && MayReplace()) {
            if (const std::uint32_t removal = RemovePathAnswering(path_); removal != 0) {
                return HRESULT_FROM_WIN32(removal);
            }
            continue;
        }
        // Taken since the choice by another run, or by an entry that no query shows (Wine hides
        // a link that leads nowhere from all but this exclusive creation): the next free number.
        overwrite_ = false;
        ++number_;
        path_ = ChooseFreeOutputPath(inputPath_, outputDir_, number_);
    }
}

HRESULT OutputFile::CreateStream(IStream** stream) const {
    return host::CreateStreamOnFile(file_, stream);
}

HRESULT OutputFile::Commit() {
    const std::uint32_t error = host::FinishNewFile(file_, path_);
    return error == 0 ? S_OK : HRESULT_FROM_WIN32(error);
}
