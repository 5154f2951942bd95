"""The installer's dialogs, in Korean: wixl has no <UI>, so their tables are written here.

Once a package has a Dialog table its interface is an authored one: a double-click install then shows
only the dialogs written here, and Windows Installer's own progress and message boxes no longer
appear. So the set holds what Windows Installer asks of such a package: the error dialog named by
the ErrorDialog property, the dialogs at -3, -2 and -1 that end a failed, cancelled or finished run,
the files-in-use dialogs InstallValidate opens, and a progress dialog. A silent install (/qn) shows
none of them, a basic one (/qb) Windows Installer's own small progress box.
"""
from dataclasses import dataclass, field

# A text that differs between an install and a removal names the task by a property: 설치, or
# 제거 when msiexec /x (REMOVE=ALL) runs the interface. Both words take the same particles.
TASK = "{task}"
INSTALL_TASK, REMOVE_TASK = "설치", "제거"
_TASK_PROPERTY = "HeicTask"

CLOSE_BUTTON = "닫기"
EXIT_DIALOG_TITLE = "HEIC to JPEG Converter가 설치되었습니다."
# The closing dialog's lines name menus and buttons in brackets, as the guide does. The per-user
# package makes the [보내기] entry; the machine-wide one cannot (Windows has no all-users one).
_START_MENU_LINE = "시작 메뉴에서 [HEIC를 JPEG로 변환]을 찾아 실행하세요."
PER_USER_EXIT_LINES = (
    _START_MENU_LINE,
    "파일 탐색기에서 사진을 선택하고 [보내기] > [HEIC를 JPEG로]를 선택하면 바로 변환됩니다.",
)
MACHINE_EXIT_LINES = (_START_MENU_LINE, "[보내기] 메뉴에 넣는 방법은 사용설명서에 있습니다.")
# How many lines of text each line of the closing dialog may take: the second wraps at the
# dialog's width.
_EXIT_LINE_ROWS = (1, 2)
# The per-user package's answer to a per-machine request, in the error dialog; {machine_msi} is
# the machine-wide package's file name.
PER_MACHINE_REFUSED = ("이 설치 파일은 현재 사용자에게만 설치합니다. 모든 사용자에게 설치하려면 "
                       "{machine_msi}를 쓰세요.")
ROLLED_BACK = "바뀐 것은 모두 되돌렸습니다."
FATAL_ERROR_TITLE = "{task}를 마치지 못했습니다."
USER_EXIT_TITLE = "{task}를 취소했습니다."
PROGRESS_TITLE = "HEIC to JPEG Converter를 {task}하고 있습니다."
CANCEL_BUTTON = "취소"
CANCEL_QUESTION = "{task}를 취소하시겠습니까?"
YES_BUTTON, NO_BUTTON = "예", "아니요"
FILES_IN_USE_LINES = ("다음 프로그램이 바꾸거나 지워야 할 파일을 쓰고 있습니다.",
                      "프로그램을 닫은 다음 [다시 시도]를 누르세요.")
FILES_IN_USE_BUTTONS = ("다시 시도", "무시", "끝내기")
RM_FILES_IN_USE_TEXT = "다음 프로그램이 바꾸거나 지워야 할 파일을 쓰고 있습니다."
RM_CHOICES = ("프로그램을 자동으로 닫고 계속합니다.",
              "닫지 않고 계속합니다. 나중에 컴퓨터를 다시 시작해야 합니다.")
OK_BUTTON = "확인"
# The error dialog's buttons by the names and results Windows Installer gives them; a message
# shows only those it needs.
ERROR_BUTTONS = (("A", "ErrorAbort", "중단"), ("C", "ErrorCancel", "취소"), ("I", "ErrorIgnore", "무시"),
                 ("N", "ErrorNo", "아니요"), ("O", "ErrorOk", "확인"), ("R", "ErrorRetry", "다시 시도"),
                 ("Y", "ErrorYes", "예"))
# What the progress dialog says during the actions that take the time, and the template of their
# data (the dialog shows none); Windows Installer has its own texts for the others, in the language
# of Windows. It shows an action's text only while it runs the install script, between
# InstallInitialize and InstallFinalize: RemoveExistingProducts, which runs before, shows none.
# GenerateScript, Rollback and RollbackCleanup are its own steps, not in any sequence; their
# template must be [1].
ACTION_TEXTS = {
    "GenerateScript": ("작업을 준비하고 있습니다.", "[1]"),
    "RemoveFiles": ("파일을 지우고 있습니다.", None),
    "InstallFiles": ("파일을 복사하고 있습니다.", None),
    "RemoveShortcuts": ("바로 가기를 지우고 있습니다.", None),
    "CreateShortcuts": ("바로 가기를 만들고 있습니다.", None),
    "RemoveRegistryValues": ("레지스트리 값을 지우고 있습니다.", None),
    "WriteRegistryValues": ("레지스트리 값을 쓰고 있습니다.", None),
    "Rollback": ("바뀐 것을 되돌리고 있습니다.", "[1]"),
    "RollbackCleanup": ("백업 파일을 지우고 있습니다.", "[1]"),
}

# Dialog names Windows Installer looks for, and ours.
EXIT_DIALOG, FATAL_ERROR_DIALOG, USER_EXIT_DIALOG = "ExitDialog", "FatalErrorDialog", "UserExitDialog"
PROGRESS_DIALOG, CANCEL_DIALOG, ERROR_DIALOG = "ProgressDialog", "CancelDialog", "ErrorDialog"
FILES_IN_USE_DIALOG, RM_FILES_IN_USE_DIALOG = "FilesInUse", "MsiRMFilesInUse"
ERROR_ICON = "ErrorIcon"  # the Binary row of the error dialog's icon, written by installer.wxs

_VISIBLE, _MODAL, _KEEP_MODELESS, _ERROR_STYLE = 1, 2, 16, 0x10000  # of a dialog
_SHOWN, _SUNKEN = 3, 4  # of a control: visible and enabled; sunken
_NO_PREFIX = 0x20000  # of a text: an & is shown, not taken for a keyboard shortcut
_FIXED_SIZE, _ICON_32 = 0x100000, 0x400000  # of an icon
_CLOSE_OPTION, _CLOSE_VALUES = "HeicCloseOption", ("Close", "Keep")

# Malgun Gothic comes with every Windows 10 and 11, whatever the system's language.
_TEXT_STYLES = [("DialogText", "Malgun Gothic", 9, 0), ("DialogTitle", "Malgun Gothic", 10, 1)]
_TABLES = [
    "CREATE TABLE `TextStyle` (`TextStyle` CHAR(72) NOT NULL, `FaceName` CHAR(32) NOT NULL, "
    "`Size` SHORT NOT NULL, `Color` LONG, `StyleBits` SHORT PRIMARY KEY `TextStyle`)",
    "CREATE TABLE `Dialog` (`Dialog` CHAR(72) NOT NULL, `HCentering` SHORT NOT NULL, "
    "`VCentering` SHORT NOT NULL, `Width` SHORT NOT NULL, `Height` SHORT NOT NULL, `Attributes` LONG, "
    "`Title` CHAR(128) LOCALIZABLE, `Control_First` CHAR(50) NOT NULL, `Control_Default` CHAR(50), "
    "`Control_Cancel` CHAR(50) PRIMARY KEY `Dialog`)",
    "CREATE TABLE `Control` (`Dialog_` CHAR(72) NOT NULL, `Control` CHAR(50) NOT NULL, "
    "`Type` CHAR(20) NOT NULL, `X` SHORT NOT NULL, `Y` SHORT NOT NULL, `Width` SHORT NOT NULL, "
    "`Height` SHORT NOT NULL, `Attributes` LONG, `Property` CHAR(72), `Text` LONGCHAR LOCALIZABLE, "
    "`Control_Next` CHAR(50), `Help` CHAR(50) LOCALIZABLE PRIMARY KEY `Dialog_`, `Control`)",
    "CREATE TABLE `ControlEvent` (`Dialog_` CHAR(72) NOT NULL, `Control_` CHAR(50) NOT NULL, "
    "`Event` CHAR(50) NOT NULL, `Argument` CHAR(255) NOT NULL, `Condition` CHAR(255), `Ordering` SHORT "
    "PRIMARY KEY `Dialog_`, `Control_`, `Event`, `Argument`, `Condition`)",
    "CREATE TABLE `ControlCondition` (`Dialog_` CHAR(72) NOT NULL, `Control_` CHAR(50) NOT NULL, "
    "`Action` CHAR(50) NOT NULL, `Condition` CHAR(255) NOT NULL PRIMARY KEY `Dialog_`, `Control_`, `Action`, "
    "`Condition`)",
    "CREATE TABLE `EventMapping` (`Dialog_` CHAR(72) NOT NULL, `Control_` CHAR(50) NOT NULL, "
    "`Event` CHAR(50) NOT NULL, `Attribute` CHAR(50) NOT NULL PRIMARY KEY `Dialog_`, `Control_`, `Event`)",
    "CREATE TABLE `RadioButton` (`Property` CHAR(72) NOT NULL, `Order` SHORT NOT NULL, `Value` CHAR(64) NOT NULL, "
    "`X` SHORT NOT NULL, `Y` SHORT NOT NULL, `Width` SHORT NOT NULL, `Height` SHORT NOT NULL, "
    "`Text` LONGCHAR LOCALIZABLE, `Help` CHAR(50) LOCALIZABLE PRIMARY KEY `Property`, `Order`)",
    # Windows Installer fills the files-in-use list itself, while the dialog is up.
    "CREATE TABLE `ListBox` (`Property` CHAR(72) NOT NULL, `Order` SHORT NOT NULL, `Value` CHAR(64) NOT NULL, "
    "`Text` CHAR(64) LOCALIZABLE PRIMARY KEY `Property`, `Order`)",
    "CREATE TABLE `ActionText` (`Action` CHAR(72) NOT NULL, `Description` LONGCHAR LOCALIZABLE, "
    "`Template` LONGCHAR LOCALIZABLE PRIMARY KEY `Action`)",
]


def _formatted(text):
    """Control texts are formatted: a bracket would name a property, a brace open a condition; the
    task word is the property the interface sets."""
    escaped = ("".join(f"[\\{c}]" if c in "[]{}" else c for c in part) for part in text.split(TASK))
    return f"[{_TASK_PROPERTY}]".join(escaped)


def _sql(value):
    if isinstance(value, int):
        return str(value)
    if "'" in value:
        raise ValueError(f"a quote in an installer text cannot be written: {value}")
    return f"'{value}'"


def _insert(table, **values):
    """An INSERT of the values given; a column left out, or given None, stays empty."""
    values = {column: value for column, value in values.items() if value is not None}
    columns = ", ".join(f"`{column}`" for column in values)
    return f"INSERT INTO `{table}` ({columns}) VALUES ({', '.join(_sql(v) for v in values.values())})"


@dataclass
class _Control:
    name: str
    kind: str
    x: int
    y: int
    width: int
    height: int
    text: str = None  # formatted already
    attributes: int = _SHOWN
    property: str = None


@dataclass
class _Dialog:
    name: str
    width: int
    height: int
    controls: list
    tab: list  # the controls the tab key goes round, the first one focused first
    attributes: int = _VISIBLE | _MODAL
    default: str = None
    cancel: str = None
    events: list = field(default_factory=list)  # (control, event, argument, condition)
    mappings: list = field(default_factory=list)  # (control, event it follows, attribute it sets)

    def queries(self):
        queries = [_insert("Dialog", Dialog=self.name, HCentering=50, VCentering=50, Width=self.width,
                           Height=self.height, Attributes=self.attributes, Title="[ProductName]",
                           Control_First=self.tab[0], Control_Default=self.default, Control_Cancel=self.cancel)]
        following = dict(zip(self.tab, self.tab[1:] + self.tab[:1]))
        queries += [_insert("Control", Dialog_=self.name, Control=c.name, Type=c.kind, X=c.x, Y=c.y, Width=c.width,
                            Height=c.height, Attributes=c.attributes, Property=c.property, Text=c.text,
                            Control_Next=following.get(c.name)) for c in self.controls]
        queries += [_insert("ControlEvent", Dialog_=self.name, Control_=control, Event=event, Argument=argument,
                            Condition=condition, Ordering=order)
                    for order, (control, event, argument, condition) in enumerate(self.events, 1)]
        queries += [_insert("EventMapping", Dialog_=self.name, Control_=control, Event=event, Attribute=attribute)
                    for control, event, attribute in self.mappings]
        return queries


_MARGIN, _LINE, _BUTTON_WIDTH, _BUTTON_HEIGHT = 15, 24, 66, 18


def _buttons(dialog_width, dialog_height, names_and_texts):
    """Push buttons in a row at the bottom right, in the order given."""
    right = dialog_width - _MARGIN
    count = len(names_and_texts)
    return [_Control(name, "PushButton", right - (count - n) * (_BUTTON_WIDTH + 6) + 6, dialog_height - 27,
                     _BUTTON_WIDTH, _BUTTON_HEIGHT, _formatted(text))
            for n, (name, text) in enumerate(names_and_texts)]


def _closing_dialog(name, title, lines, rows=()):
    """A title, a text per line below it and 닫기: how a run ends. rows gives how many lines of
    text each line may take, one where it gives none."""
    width = 360
    texts = [("Title", "{\\DialogTitle}" + _formatted(title), 1)]
    texts += [(f"Line{n}", _formatted(text), rows[n - 1] if n <= len(rows) else 1)
              for n, text in enumerate(lines, 1)]
    height = 18 + sum(r for _, _, r in texts) * _LINE + 33
    controls, y = [], 12
    for control, text, r in texts:
        controls.append(_Control(control, "Text", _MARGIN, y, width - 2 * _MARGIN, r * _LINE, text))
        y += r * _LINE + (6 if control == "Title" else 0)
    controls += _buttons(width, height, [("Close", CLOSE_BUTTON)])
    return _Dialog(name, width, height, controls, ["Close"], default="Close", cancel="Close",
                   events=[("Close", "EndDialog", "Return", "1")])


def _progress_dialog():
    # Modeless: the install goes on while it shows what is being done; 취소 asks first.
    width, height = 360, 120
    controls = [
        _Control("Title", "Text", _MARGIN, 12, width - 2 * _MARGIN, _LINE,
                 "{\\DialogTitle}" + _formatted(PROGRESS_TITLE)),
        _Control("ActionText", "Text", _MARGIN, 42, width - 2 * _MARGIN, 18, "", _SHOWN | _NO_PREFIX),
        _Control("ProgressBar", "ProgressBar", _MARGIN, 62, width - 2 * _MARGIN, 12),
        *_buttons(width, height, [("Cancel", CANCEL_BUTTON)]),
    ]
    return _Dialog(PROGRESS_DIALOG, width, height, controls, ["Cancel"], attributes=_VISIBLE, cancel="Cancel",
                   events=[("Cancel", "SpawnDialog", CANCEL_DIALOG, "1")],
                   mappings=[("ActionText", "ActionText", "Text"), ("ProgressBar", "SetProgress", "Progress")])


def _cancel_dialog():
    width, height = 260, 84
    controls = [_Control("Question", "Text", _MARGIN, 15, width - 2 * _MARGIN, _LINE, _formatted(CANCEL_QUESTION)),
                *_buttons(width, height, [("Yes", YES_BUTTON), ("No", NO_BUTTON)])]
    return _Dialog(CANCEL_DIALOG, width, height, controls, ["No", "Yes"], _VISIBLE | _MODAL | _KEEP_MODELESS,
                   default="No", cancel="No",
                   events=[("Yes", "EndDialog", "Exit", "1"), ("No", "EndDialog", "Return", "1")])


def _error_dialog():
    # Windows Installer writes the message into ErrorText and shows only the buttons it needs,
    # spread over the row; the buttons take no part in the tab order.
    width, height = 330, 111
    x = (width - 56) // 2
    controls = [_Control("ErrorText", "Text", 48, 15, width - 48 - _MARGIN, 60, "", _SHOWN | _NO_PREFIX),
                _Control("ErrorIcon", "Icon", _MARGIN, 15, 24, 24, ERROR_ICON, _SHOWN | _FIXED_SIZE | _ICON_32)]
    controls += [_Control(name, "PushButton", x, height - 27, 56, _BUTTON_HEIGHT, _formatted(text))
                 for name, _, text in ERROR_BUTTONS]
    return _Dialog(ERROR_DIALOG, width, height, controls, ["ErrorText"],
                   _VISIBLE | _MODAL | _KEEP_MODELESS | _ERROR_STYLE,
                   events=[(name, "EndDialog", result, "1") for name, result, _ in ERROR_BUTTONS])


def _files_in_use_dialog():
    # Retry looks again, Ignore replaces the files at the next start of Windows, Exit ends the run.
    width, height = 360, 176
    controls = [_Control(f"Line{n}", "Text", _MARGIN, 12 + (n - 1) * 18, width - 2 * _MARGIN, 18, _formatted(text))
                for n, text in enumerate(FILES_IN_USE_LINES, 1)]
    controls.append(_Control("List", "ListBox", _MARGIN, 56, width - 2 * _MARGIN, 80, None, _SHOWN | _SUNKEN,
                             "FileInUseProcess"))
    controls += _buttons(width, height, list(zip(("Retry", "Ignore", "Exit"), FILES_IN_USE_BUTTONS)))
    return _Dialog(FILES_IN_USE_DIALOG, width, height, controls, ["Retry", "Ignore", "Exit", "List"],
                   _VISIBLE | _MODAL | _KEEP_MODELESS, default="Retry", cancel="Exit",
                   events=[("Retry", "EndDialog", "Retry", "1"), ("Ignore", "EndDialog", "Ignore", "1"),
                           ("Exit", "EndDialog", "Exit", "1")])


def _rm_files_in_use_dialog():
    # Windows Vista and later use this one: the Restart Manager closes the programs on 확인 when the
    # user chose so (ours does not ask to be started again).
    width, height = 360, 198
    controls = [_Control("Text", "Text", _MARGIN, 12, width - 2 * _MARGIN, _LINE, _formatted(RM_FILES_IN_USE_TEXT)),
                _Control("List", "ListBox", _MARGIN, 40, width - 2 * _MARGIN, 70, None, _SHOWN | _SUNKEN,
                         "FileInUseProcess"),
                _Control("Choice", "RadioButtonGroup", _MARGIN, 118, width - 2 * _MARGIN, 40, None, _SHOWN,
                         _CLOSE_OPTION)]
    controls += _buttons(width, height, [("OK", OK_BUTTON), ("Cancel", CANCEL_BUTTON)])
    return _Dialog(RM_FILES_IN_USE_DIALOG, width, height, controls, ["OK", "Cancel", "List", "Choice"],
                   _VISIBLE | _MODAL | _KEEP_MODELESS, default="OK", cancel="Cancel",
                   events=[("OK", "RMShutdownAndRestart", "0", f'{_CLOSE_OPTION}="{_CLOSE_VALUES[0]}"'),
                           ("OK", "EndDialog", "Return", "1"), ("Cancel", "EndDialog", "Exit", "1")])


def queries(exit_lines):
    """Every row of the dialogs and of the sequences that show them; exit_lines are the lines of
    the dialog that ends an install."""
    exit_dialog = _closing_dialog(EXIT_DIALOG, EXIT_DIALOG_TITLE, exit_lines, _EXIT_LINE_ROWS)
    dialogs = [exit_dialog, _closing_dialog(FATAL_ERROR_DIALOG, FATAL_ERROR_TITLE, [ROLLED_BACK]),
               _closing_dialog(USER_EXIT_DIALOG, USER_EXIT_TITLE, [ROLLED_BACK]), _progress_dialog(),
               _cancel_dialog(), _error_dialog(), _files_in_use_dialog(), _rm_files_in_use_dialog()]
    queries = list(_TABLES)
    queries += [_insert("TextStyle", TextStyle=name, FaceName=face, Size=size, StyleBits=bits)
                for name, face, size, bits in _TEXT_STYLES]
    for name, value in [("DefaultUIFont", "DialogText"), ("ErrorDialog", ERROR_DIALOG),
                        (_TASK_PROPERTY, INSTALL_TASK), (_CLOSE_OPTION, _CLOSE_VALUES[0])]:
        queries.append(_insert("Property", Property=name, Value=value))
    for dialog in dialogs:
        queries += dialog.queries()
    queries += [_insert("RadioButton", Property=_CLOSE_OPTION, Order=n, Value=value, X=0, Y=(n - 1) * 20,
                        Width=330, Height=18, Text=_formatted(text))
                for n, (value, text) in enumerate(zip(_CLOSE_VALUES, RM_CHOICES), 1)]
    queries += [_insert("ActionText", Action=action, Description=text, Template=template)
                for action, (text, template) in ACTION_TEXTS.items()]
    # An administrative install (msiexec /a) unpacks the files for others to install: nothing is
    # in the Start menu yet.
    queries += [_insert("ControlCondition", Dialog_=EXIT_DIALOG, Control_=control.name, Action="Hide",
                        Condition='ACTION="ADMIN"')
                for control in exit_dialog.controls if control.name.startswith("Line")]
    queries.append(_insert("CustomAction", Action="SetRemovalTask", Type=51, Source=_TASK_PROPERTY, Target=REMOVE_TASK))
    # The progress dialog comes up just before the install itself runs. At -3, -2 and -1 the dialogs
    # follow a failed, a cancelled and a successful run; a removal (REMOVE=ALL, as msiexec /x sets
    # it) is a successful run too, but must not say that the program is installed.
    for table in ("InstallUISequence", "AdminUISequence"):
        install = table == "InstallUISequence"
        rows = [("SetRemovalTask", 'REMOVE~="ALL"', 10)] if install else []
        rows += [(PROGRESS_DIALOG, None, 1299), (FATAL_ERROR_DIALOG, None, -3), (USER_EXIT_DIALOG, None, -2),
                 (EXIT_DIALOG, 'NOT REMOVE~="ALL"' if install else None, -1)]
        queries += [_insert(table, Action=action, Condition=condition, Sequence=sequence)
                    for action, condition, sequence in rows]
    return queries
