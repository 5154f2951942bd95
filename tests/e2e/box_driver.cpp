// Plays the user for the end-to-end tests under Wine. It finds a message box, the open-file
// dialog or another window by its caption, reports what a user would see there as one JSON line
// (UTF-8) on standard output, and answers it: OK for a box; file names and Open, or Cancel, for
// the dialog; the button of the given text for another window, with what other windows of its
// caption showed before it.
//
//   e2e_box_driver box --caption TEXT [--timeout-ms N] [--keep]
//   e2e_box_driver window --caption TEXT [--press TEXT] [--timeout-ms N]
//   e2e_box_driver open --title TEXT --names TEXT [--folder PATH] [--timeout-ms N] [--keep]
//   e2e_box_driver cancel --title TEXT [--timeout-ms N]
//   e2e_box_driver windows
//   e2e_box_driver hold
//   e2e_box_driver shortname --path PATH
//   e2e_box_driver holdfile --path PATH --until PATH [--timeout-ms N]
//
// "shortname" reports the short (8.3) name that the system gives PATH. "holdfile" plays another
// program that has a file open with every sharing allowed, as a viewer or the search indexer
// does: it reports "holding", keeps the file open until the second path exists, then closes it
// and reports "released".
//
// "hold" stays on the desktop until it is killed (wineserver -k ends the session), so that Wine
// never closes the desktop between two starts: it does so one second after the last program on
// it ended, and the next start then brings up a new desktop process, or two racing ones when the
// program and this driver start together.
//
// Exit code 0 when the window was found and answered, 1 when it did not appear in time or did
// not close when answered, 2 for a bad command line.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <dlgs.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDefaultTimeoutMs = 20000;
constexpr DWORD kPollMs = 20;
constexpr UINT kSendTimeoutMs = 10000;
constexpr int kMessageBoxTextId = 0xFFFF;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// One JSON object, written field by field.
class JsonLine {
  public:
    JsonLine& Text(const char* key, const std::wstring& value) {
        Key(key);
        line_ += '"';
        for (const char c : Utf8(value)) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                line_ += '\\';
                line_ += c;
            } else if (byte < 0x20) {
                char escaped[8];
                wsprintfA(escaped, "\\u%04x", byte);
                line_ += escaped;
            } else {
                line_ += c;
            }
        }
        line_ += '"';
        return *this;
    }
    JsonLine& Number(const char* key, long long value) {
        Key(key);
        line_ += std::to_string(value);
        return *this;
    }
    JsonLine& Flag(const char* key, bool value) {
        Key(key);
        line_ += value ? "true" : "false";
        return *this;
    }
    JsonLine& Raw(const char* key, const std::string& json) {
        Key(key);
        line_ += json;
        return *this;
    }
    std::string Finish() const { return line_ + "}"; }

  private:
    void Key(const char* key) {
        line_ += line_.size() > 1 ? ",\"" : "\"";
        line_ += key;
        line_ += "\":";
    }
    std::string line_ = "{";
};

void Print(const std::string& text) {
    const std::string line = text + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
}

std::wstring WindowText(HWND window) {
    // WM_GETTEXT crosses the process boundary; GetWindowTextW would not ask the other process.
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied);
    text.resize(copied);
    return text;
}

std::wstring ClassName(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

struct Search {
    std::wstring caption;
    bool anyClass = false;  // else only the dialog class of boxes and common dialogs
    HWND found = nullptr;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    if (!IsWindowVisible(window) || (!search->anyClass && ClassName(window) != L"#32770"))
        return TRUE;
    wchar_t caption[512] = {};
    GetWindowTextW(window, caption, 512);
    if (search->caption != caption) return TRUE;
    search->found = window;
    return FALSE;
}

HWND WaitForDialog(const std::wstring& caption, DWORD timeoutMs, bool anyClass = false) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        Search search{caption, anyClass};
        EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        if (GetTickCount64() >= deadline) return nullptr;
        Sleep(kPollMs);
    }
}

bool WaitUntilClosed(HWND window, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount64() >= deadline) return false;
        Sleep(kPollMs);
    }
    return true;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

// The pixels of a screen rectangle, 32 bits each, top row first.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> data;
};

Pixels Capture(HDC source, int x, int y, int width, int height) {
    Pixels pixels{width, height,
                  std::vector<std::uint32_t>(static_cast<std::size_t>(width) * height)};
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
    GdiFlush();
    const auto* words = static_cast<const std::uint32_t*>(bits);
    pixels.data.assign(words, words + pixels.data.size());
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return pixels;
}

// A system icon drawn as the icon control draws it: at the control's size, on the colour that
// the control shows around the icon.
Pixels Render(HICON icon, int width, int height, std::uint32_t background) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    HBRUSH brush = CreateSolidBrush(
        RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
    RECT all{0, 0, width, height};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
    Pixels pixels = Capture(memory, 0, 0, width, height);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

long long Distance(const Pixels& a, const Pixels& b) {
    long long sum = 0;
    for (std::size_t i = 0; i < a.data.size() && i < b.data.size(); ++i) {
        for (int shift = 0; shift < 24; shift += 8) {
            sum += std::llabs(static_cast<long long>((a.data[i] >> shift) & 0xFF) -
                              static_cast<long long>((b.data[i] >> shift) & 0xFF));
        }
    }
    return sum;
}

struct IconKind {
    const wchar_t* resource;
    const wchar_t* name;
};
const IconKind kIconKinds[] = {
    {IDI_ERROR, L"error"},
    {IDI_INFORMATION, L"information"},
    {IDI_WARNING, L"warning"},
    {IDI_QUESTION, L"question"},
};

struct IconReport {
    std::wstring kind = L"none";
    long long bestDistance = -1;
    long long nextDistance = -1;
};

// Which of the system's message-box icons the user sees, "none" when the icon control holds no
// icon. Icon handles are per process under Wine, so the control's handle cannot be compared with
// our own LoadIcon; instead the icon is read from the screen and matched against each system icon
// drawn here. The match must be exact apart from a little noise and clearly better than the
// runner-up (information and question are both blue discs), else the kind is "unknown".
IconReport ReadIcon(HWND box, DWORD timeoutMs) {
    HWND control = nullptr;
    for (HWND child : Children(box)) {
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        if (ClassName(child) == L"Static" && (style & SS_TYPEMASK) == SS_ICON &&
            IsWindowVisible(child)) {
            control = child;
        }
    }
    IconReport report;
    DWORD_PTR shown = 0;
    if (!control ||
        !SendMessageTimeoutW(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &shown) ||
        shown == 0) {
        return report;
    }
    RECT rect{};
    GetWindowRect(control, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    report.kind = L"unknown";
    if (width <= 0 || height <= 0) return report;

    // The box may not be painted yet when it is first seen; look again until a system icon fits.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        HDC screen = GetDC(nullptr);
        const Pixels seen = Capture(screen, rect.left, rect.top, width, height);
        ReleaseDC(nullptr, screen);
        std::map<long long, const wchar_t*> byDistance;
        for (const IconKind& kind : kIconKinds) {
            const Pixels drawn =
                Render(LoadIconW(nullptr, kind.resource), width, height, seen.data[0]);
            byDistance.emplace(Distance(seen, drawn), kind.name);
        }
        auto best = byDistance.begin();
        auto next = std::next(best);
        report.bestDistance = best->first;
        report.nextDistance = next->first;
        const long long noise =
            static_cast<long long>(width) * height * 3 * 2;  // two levels per channel
        if (best->first <= noise && next->first >= 2 * noise) {
            report.kind = best->second;
            return report;
        }
        if (GetTickCount64() >= deadline) return report;
        Sleep(kPollMs * 5);
    }
}

std::string ButtonsJson(HWND box) {
    std::string json = "[";
    for (HWND child : Children(box)) {
        if (ClassName(child) != L"Button" || !IsWindowVisible(child)) continue;
        if (json.size() > 1) json += ",";
        json +=
            JsonLine().Number("id", GetDlgCtrlID(child)).Text("text", WindowText(child)).Finish();
    }
    return json + "]";
}

// A click as the button itself reports it to its dialog.
bool SendClick(HWND dialog, int id, HWND button) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                               reinterpret_cast<LPARAM>(button), SMTO_ABORTIFHUNG, kSendTimeoutMs,
                               &ignored) != 0;
}

bool Click(HWND dialog, int id) {
    return SendClick(dialog, id, GetDlgItem(dialog, id));
}

// An installer's controls all have the ID 0, so its buttons go by their handles.
bool ClickButton(HWND dialog, HWND button) {
    return SendClick(dialog, GetDlgCtrlID(button), button);
}

struct Options {
    std::wstring command;
    std::wstring caption;
    std::wstring press;
    std::wstring names;
    std::wstring folder;
    std::wstring path;
    std::wstring until;
    DWORD timeoutMs = kDefaultTimeoutMs;
    bool keep = false;
};

int ShortName(const Options& options) {
    std::wstring name(32768, L'\0');
    const DWORD length =
        GetShortPathNameW(options.path.c_str(), name.data(), static_cast<DWORD>(name.size()));
    name.resize(length < name.size() ? length : 0);
    Print(JsonLine().Text("event", L"shortname").Text("name", name).Finish());
    return length != 0 && length < 32768 ? 0 : 1;
}

int HoldFile(const Options& options) {
    const HANDLE file = CreateFileW(options.path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Print(JsonLine().Text("event", L"not opened").Number("error", GetLastError()).Finish());
        return 1;
    }
    Print(JsonLine().Text("event", L"holding").Finish());
    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    while (GetFileAttributesW(options.until.c_str()) == INVALID_FILE_ATTRIBUTES &&
           GetTickCount64() < deadline) {
        Sleep(kPollMs);
    }
    CloseHandle(file);
    Print(JsonLine().Text("event", L"released").Finish());
    return 0;
}

int Box(const Options& options) {
    HWND box = WaitForDialog(options.caption, options.timeoutMs);
    if (!box) {
        Print(JsonLine().Text("event", L"timeout").Text("caption", options.caption).Finish());
        return 1;
    }
    const IconReport icon = ReadIcon(box, options.timeoutMs);
    JsonLine line;
    line.Text("event", L"box")
        .Text("caption", WindowText(box))
        .Text("text", WindowText(GetDlgItem(box, kMessageBoxTextId)))
        .Text("icon", icon.kind)
        .Number("icon_distance", icon.bestDistance)
        .Number("icon_runner_up", icon.nextDistance)
        .Raw("buttons", ButtonsJson(box))
        .Flag("owned", GetWindow(box, GW_OWNER) != nullptr)
        .Flag("topmost", (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0);
    bool closed = false;
    if (!options.keep) closed = Click(box, IDOK) && WaitUntilClosed(box, options.timeoutMs);
    line.Flag("closed", closed);
    Print(line.Finish());
    return options.keep || closed ? 0 : 1;
}

// What a window of the caption showed while the driver waited for another one, such as an
// installer's progress dialog: its texts and buttons in the order they first appeared, and how far
// its progress bar went.
struct Sighting {
    HWND window = nullptr;
    std::vector<std::wstring> texts;
    std::vector<std::wstring> buttons;
    long long progress = -1;  // the highest position seen, -1 without a progress bar
    long long progressEnd = -1;
};

void AddOnce(std::vector<std::wstring>& list, const std::wstring& text) {
    if (!text.empty() && std::find(list.begin(), list.end(), text) == list.end())
        list.push_back(text);
}

void Sight(std::vector<Sighting>& sightings, HWND window) {
    auto it = std::find_if(sightings.begin(), sightings.end(),
                           [window](const Sighting& s) { return s.window == window; });
    if (it == sightings.end()) {
        sightings.emplace_back();
        sightings.back().window = window;
        it = std::prev(sightings.end());
    }
    Sighting& sighting = *it;
    for (HWND child : Children(window)) {
        if (!IsWindowVisible(child)) continue;
        const std::wstring kind = ClassName(child);
        if (lstrcmpiW(kind.c_str(), L"Static") == 0) AddOnce(sighting.texts, WindowText(child));
        if (lstrcmpiW(kind.c_str(), L"Button") == 0) AddOnce(sighting.buttons, WindowText(child));
        if (lstrcmpiW(kind.c_str(), PROGRESS_CLASSW) == 0) {
            DWORD_PTR position = 0, end = 0;
            SendMessageTimeoutW(child, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                                &position);
            SendMessageTimeoutW(child, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                                &end);
            sighting.progress = std::max(sighting.progress, static_cast<long long>(position));
            sighting.progressEnd = static_cast<long long>(end);
        }
    }
}

std::string TextsJson(const std::vector<std::wstring>& texts) {
    std::string json = "[";
    for (const std::wstring& text : texts) {
        if (json.size() > 1) json += ",";
        json += JsonLine().Text("text", text).Finish();
    }
    return json + "]";
}

std::string SightingsJson(const std::vector<Sighting>& sightings) {
    std::string json = "[";
    for (const Sighting& s : sightings) {
        if (json.size() > 1) json += ",";
        json += JsonLine()
                    .Raw("texts", TextsJson(s.texts))
                    .Raw("buttons", TextsJson(s.buttons))
                    .Number("progress", s.progress)
                    .Number("progress_end", s.progressEnd)
                    .Finish();
    }
    return json + "]";
}

HWND ButtonOfText(HWND window, const std::wstring& text) {
    for (HWND child : Children(window)) {
        if (IsWindowVisible(child) && lstrcmpiW(ClassName(child).c_str(), L"Button") == 0 &&
            WindowText(child) == text)
            return child;
    }
    return nullptr;
}

struct CaptionSearch {
    std::wstring caption;
    std::vector<HWND> found;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<CaptionSearch*>(context);
    wchar_t caption[512] = {};
    GetWindowTextW(window, caption, 512);
    if (IsWindowVisible(window) && search->caption == caption) search->found.push_back(window);
    return TRUE;
}

// Windows of any class, such as an installer's dialogs. The one with a button of the given text
// is reported (its texts in their order, its buttons) and that button pressed as a click does, by
// the button's own notification; the others of the caption seen meanwhile are reported as seen.
// Without a button to press, the windows of the caption are watched until they are gone.
int Window(const Options& options) {
    std::vector<Sighting> seen;
    HWND window = nullptr;
    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    for (;;) {
        CaptionSearch search;
        search.caption = options.caption;
        EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&search));
        for (HWND found : search.found) {
            if (!options.press.empty() && ButtonOfText(found, options.press)) {
                window = found;
            } else {
                Sight(seen, found);
            }
        }
        if (window || (options.press.empty() && !seen.empty() && search.found.empty())) break;
        if (GetTickCount64() >= deadline) {
            Print(JsonLine()
                      .Text("event", L"timeout")
                      .Text("caption", options.caption)
                      .Raw("seen", SightingsJson(seen))
                      .Finish());
            return 1;
        }
        Sleep(kPollMs);
    }
    JsonLine line;
    line.Text("event", L"window").Raw("seen", SightingsJson(seen));
    if (!window) {
        Print(line.Finish());
        return 0;
    }
    std::vector<std::wstring> texts;
    for (HWND child : Children(window)) {
        if (IsWindowVisible(child) && lstrcmpiW(ClassName(child).c_str(), L"Static") == 0)
            texts.push_back(WindowText(child));
    }
    line.Text("caption", WindowText(window))
        .Text("class", ClassName(window))
        .Raw("texts", TextsJson(texts))
        .Raw("buttons", ButtonsJson(window));
    HWND pressed = ButtonOfText(window, options.press);
    const bool closed =
        pressed && ClickButton(window, pressed) && WaitUntilClosed(window, options.timeoutMs);
    Print(line.Flag("closed", closed).Finish());
    return closed ? 0 : 1;
}

HWND FindEdit(HWND parent) {
    for (HWND child : Children(parent)) {
        if (ClassName(child) == L"Edit") return child;
        if (HWND edit = FindEdit(child)) return edit;
    }
    return nullptr;
}

HWND FileNameBox(HWND dialog) {
    // The file name box is an edit inside an editable combo box (Wine nests it in a ComboBoxEx
    // as well); older templates have a plain edit instead.
    HWND combo = GetDlgItem(dialog, cmb13);
    if (combo && IsWindowVisible(combo)) return FindEdit(combo);
    HWND edit = GetDlgItem(dialog, edt1);
    return edit && IsWindowVisible(edit) ? edit : nullptr;
}

bool SetText(HWND window, const std::wstring& text) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored) != 0;
}

std::string FiltersJson(HWND dialog) {
    std::string json = "[";
    HWND combo = GetDlgItem(dialog, cmb1);
    DWORD_PTR count = 0;
    if (combo)
        SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count);
    for (DWORD_PTR i = 0; i < count && i < 16; ++i) {
        DWORD_PTR length = 0;
        SendMessageTimeoutW(combo, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                            &length);
        std::wstring item(length + 1, L'\0');
        SendMessageTimeoutW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item.data()),
                            SMTO_ABORTIFHUNG, kSendTimeoutMs, &length);
        item.resize(length);
        if (json.size() > 1) json += ",";
        json += JsonLine().Text("text", item).Finish();
    }
    return json + "]";
}

int FileDialog(const Options& options, bool cancel) {
    HWND dialog = WaitForDialog(options.caption, options.timeoutMs);
    if (!dialog) {
        Print(JsonLine().Text("event", L"timeout").Text("caption", options.caption).Finish());
        return 1;
    }
    HWND filter = GetDlgItem(dialog, cmb1);
    DWORD_PTR selected = static_cast<DWORD_PTR>(-1);
    if (filter)
        SendMessageTimeoutW(filter, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                            &selected);
    HWND fileName = FileNameBox(dialog);
    JsonLine line;
    line.Text("event", L"dialog")
        .Text("caption", WindowText(dialog))
        .Raw("filters", FiltersJson(dialog))
        .Number("filter_selected", static_cast<long long>(static_cast<LRESULT>(selected)))
        .Text("file_name", fileName ? WindowText(fileName) : L"")
        .Flag("owned", GetWindow(dialog, GW_OWNER) != nullptr);
    if (options.keep) {
        Print(line.Flag("closed", false).Finish());
        return 0;
    }
    bool answered = false;
    if (cancel) {
        answered = Click(dialog, IDCANCEL);
    } else if (fileName) {
        // Typing a folder and pressing Open enters it, as it does for a user.
        answered =
            options.folder.empty() || (SetText(fileName, options.folder) && Click(dialog, IDOK));
        answered = answered && SetText(fileName, options.names) && Click(dialog, IDOK);
    }
    const bool closed = answered && WaitUntilClosed(dialog, options.timeoutMs);
    Print(line.Flag("closed", closed).Finish());
    return closed ? 0 : 1;
}

BOOL CALLBACK ListWindow(HWND window, LPARAM) {
    if (!IsWindowVisible(window)) return TRUE;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t caption[512] = {};
    GetWindowTextW(window, caption, 512);
    HWND text = GetDlgItem(window, kMessageBoxTextId);
    Print(JsonLine()
              .Text("event", L"window")
              .Text("caption", caption)
              .Text("class", ClassName(window))
              .Text("text", text ? WindowText(text) : L"")
              .Number("process", process)
              .Finish());
    return TRUE;
}

bool Parse(int argc, wchar_t** argv, Options& options) {
    if (argc < 2) return false;
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::wstring name = argv[i];
        if (name == L"--keep") {
            options.keep = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const std::wstring value = argv[++i];
        if (name == L"--caption" || name == L"--title") {
            options.caption = value;
        } else if (name == L"--press") {
            options.press = value;
        } else if (name == L"--names") {
            options.names = value;
        } else if (name == L"--folder") {
            options.folder = value;
        } else if (name == L"--path") {
            options.path = value;
        } else if (name == L"--until") {
            options.until = value;
        } else if (name == L"--timeout-ms") {
            options.timeoutMs = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!Parse(argc, argv, options)) return 2;
    if (options.command == L"box" && !options.caption.empty()) return Box(options);
    if (options.command == L"window" && !options.caption.empty()) return Window(options);
    if (options.command == L"open" && !options.caption.empty() &&
        (options.keep || !options.names.empty())) {
        return FileDialog(options, false);
    }
    if (options.command == L"cancel" && !options.caption.empty()) return FileDialog(options, true);
    if (options.command == L"hold") {
        GetDesktopWindow();  // joins the desktop now rather than at first use
        Sleep(INFINITE);
    }
    if (options.command == L"windows") {
        EnumWindows(ListWindow, 0);
        return 0;
    }
    if (options.command == L"shortname" && !options.path.empty()) return ShortName(options);
    if (options.command == L"holdfile" && !options.path.empty() && !options.until.empty()) {
        return HoldFile(options);
    }
    return 2;
}
