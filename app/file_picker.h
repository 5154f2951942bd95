#pragma once
// The open-file dialog, for a run that names no input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Full paths of the chosen files in the dialog's order; empty when nothing was chosen.
std::vector<std::wstring> PickInputFiles();

// Reads the dialog's answer: one full path, or a folder followed by names, each NUL-terminated,
// ended by an empty string. bufferLength bounds the reading.
std::vector<std::wstring> ReadSelectionBuffer(const wchar_t* buffer, std::size_t bufferLength);

// CommDlgExtendedError's code for a selection that does not fit the buffer (FNERR_BUFFERTOOSMALL).
inline constexpr std::uint32_t kSelectionTooLongError = 0x3003;

// What the user is told when the dialog ends without a selection: the error box's text, or empty
// for a cancel and every failure other than a selection too long for the buffer.
std::wstring DialogFailureText(std::uint32_t extendedError);
