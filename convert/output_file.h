#pragma once
// The JPEG file of one conversion, from the choice of its name to its commit: the one owner of
// the output path. A file that the conversion created or opened and did not commit is removed
// when the owner goes; a file that stood there before, or that another run took, is never ours.
#include <cstdint>
#include <string>

#include "convert/conversion_types.h"
#include "platform/imaging_api.h"

class OutputFile {
  public:
    // Chooses the path. An input is never removed to make room for its own JPEG: when the
    // chosen name is the input's own file (another spelling, a link, a hard link), the input is
    // named as if overwriting were off and gets the first free numbered name.
    OutputFile(const std::wstring& absoluteInputPath, const ConversionOptions& options);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::wstring& path() const { return path_; }

    // Creates the missing folders and, when overwriting, removes what stands under the name.
    void PrepareLocation();

    // Creates the file exclusively, so that the stream opens a file of ours and never follows a
    // link. A name that another run took after the choice, or that an entry no query shows
    // holds, gives way to the next free number.
    HRESULT Claim();

    // The stream holds the file now; until committed it is ours to remove.
    void Opened() { ours_ = true; }
    void Committed() { ours_ = false; }

  private:
    const std::wstring& inputPath_;
    const std::wstring& outputDir_;
    bool overwrite_;
    std::uint32_t number_ = 0;  // of a free name's search: 0 for the plain name
    std::wstring path_;
    bool ours_ = false;
};
