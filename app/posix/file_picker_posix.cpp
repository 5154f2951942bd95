#include "app/file_picker.h"

// There is no dialog to show here: a run without inputs picks nothing.
std::vector<std::wstring> PickInputFiles() {
    return {};
}
