#pragma once
// The open-file dialog, for a run that names no input.
#include <string>
#include <vector>

// Full paths of the chosen files in the dialog's order; empty when nothing was chosen.
std::vector<std::wstring> PickInputFiles();

// Reads the dialog's answer: one full path, or a folder followed by names, each NUL-terminated,
// ended by an empty string. bufferLength bounds the reading.
std::vector<std::wstring> ReadSelectionBuffer(const wchar_t* buffer, std::size_t bufferLength);
