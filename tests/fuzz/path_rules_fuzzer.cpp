// The Windows path rules on any UTF-16 text: no crash, and the pieces of a path always fit
// together again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "convert/input_checks.h"
#include "convert/path_rules.h"
#include "fuzz_input.h"

namespace {

bool EndsWith(std::wstring_view text, std::wstring_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool StartsWith(std::wstring_view text, std::wstring_view head) {
    return text.substr(0, head.size()) == head;
}

bool HasSeparator(std::wstring_view text) {
    return text.find_first_of(L"\\/") != std::wstring_view::npos;
}

void CheckSplit(const std::wstring& path) {
    const std::size_t root = RootNameLength(path);
    FUZZ_REQUIRE(root <= path.size(), path);

    const std::wstring_view relative = RelativePart(path);
    FUZZ_REQUIRE(EndsWith(path, relative), path);
    const std::size_t relativeStart = path.size() - relative.size();
    FUZZ_REQUIRE(relativeStart >= root, path);
    for (std::size_t i = root; i < relativeStart; ++i) {
        FUZZ_REQUIRE(IsPathSeparator(path[i]), path);
    }
    FUZZ_REQUIRE(relative.empty() || !IsPathSeparator(relative.front()), path);

    const std::wstring_view element = FinalElement(path);
    FUZZ_REQUIRE(EndsWith(relative, element), path);
    FUZZ_REQUIRE(!HasSeparator(element), path);
    if (!path.empty() && IsPathSeparator(path.back())) FUZZ_REQUIRE(element.empty(), path);

    // Stem and extension split the element cut at its stream name, and nothing else.
    const std::wstring_view cut = element.substr(0, element.find(L':'));
    const std::wstring_view stem = StemOf(path);
    const std::wstring_view extension = ExtensionOf(path);
    FUZZ_REQUIRE(std::wstring(stem) + std::wstring(extension) == cut, path);
    if (!extension.empty()) {
        FUZZ_REQUIRE(extension.front() == L'.', path);
        FUZZ_REQUIRE(extension.find(L'.', 1) == std::wstring_view::npos, path);
        FUZZ_REQUIRE(!stem.empty(), path);
    }
    if (HasHeifExtension(path)) FUZZ_REQUIRE(extension.size() == 5, path);

    // The parent keeps at least the root with its separators and never reaches into the element.
    const std::wstring_view parent = ParentOf(path);
    FUZZ_REQUIRE(StartsWith(path, parent), path);
    FUZZ_REQUIRE(parent.size() >= relativeStart, path);
    FUZZ_REQUIRE(parent.size() <= path.size() - element.size(), path);
}

// Joining the parent and the final element gives back a path with the same element under the
// same folder. An element that reads as a drive ("C:x") is a rooted name, which the program never
// joins, so it is left out.
void CheckRejoin(const std::wstring& path) {
    const std::wstring element(FinalElement(path));
    if (element.empty() || RootNameLength(element) != 0) return;
    const std::wstring parent(ParentOf(path));
    const std::wstring joined = JoinPath(parent, element);
    FUZZ_REQUIRE(FinalElement(joined) == element, path);
    // The join writes one "\" where the path may have had several, which can turn a parent into
    // a device root: \??\\x has the parent \??, but \??\x has the root \?? and the parent \??\.
    const std::wstring joinedParent(ParentOf(joined));
    FUZZ_REQUIRE(joinedParent == parent || joinedParent == parent + L"\\", path);
    FUZZ_REQUIRE(StemOf(joined) == StemOf(path) && ExtensionOf(joined) == ExtensionOf(path), path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring path = WideFromUtf16Bytes(data, size);
    CheckSplit(path);
    CheckRejoin(path);
    return 0;
}
