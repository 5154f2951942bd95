#pragma once
// The JPEG file of one conversion, from the choice of its name to its commit: the one owner of
// the output path and of the file that claims it. The JPEG is written through the handle that
// created the file, and a file that the conversion created and did not commit is removed through
// that same handle when the owner goes: a file that stood there before, or that another run
// took, is never ours.
#include <cstdint>
#include <string>

#include "convert/conversion_types.h"
#include "platform/file_system_host.h"
#include "platform/imaging_api.h"

class OutputFile {
  public:
    // Chooses the path. An entry is never removed to make room for a JPEG when it may be the
    // input (another spelling, a link, a hard link, or one that cannot be told apart) or when the
    // name is only a second, short name of another file: the input is then named as if
    // overwriting were off and gets the first free numbered name.
    OutputFile(const std::wstring& absoluteInputPath, const ConversionOptions& options);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::wstring& path() const { return path_; }

    // Creates the missing folders and, when overwriting, removes what stands under the name.
    void PrepareLocation();

    // Creates the file exclusively and keeps it open. A name that another run took after the
    // choice, or that an entry no query shows holds, gives way to the next free number.
    HRESULT Claim();

    // A stream that writes into the claimed file.
    HRESULT CreateStream(IStream** stream) const;

    // Closes the written file once every stream has let go of it; fails when it does not stand
    // complete under its name, and it is then removed like any uncommitted file.
    HRESULT Commit();

  private:
    bool MayReplace() const;

    const std::wstring& inputPath_;
    const std::wstring& outputDir_;
    bool overwrite_;
    std::uint32_t number_ = 0;  // of a free name's search: 0 for the plain name
    std::wstring path_;
    host::FileHandle file_ = host::kNoFile;
};
