"""The profile (INI) reader: our POSIX reader against Windows' own
GetPrivateProfileStringA (under Wine), on the same tricky files.

profile_dump reads the keys of one section through platform::readProfileString
in each lane and prints "KEY<TAB>length<TAB>value" lines. Each case states the
value every lane must return; where Wine does something that is plainly a
fault of its own (a character lost or a buffer byte left unwritten), the case
names Wine's result separately and our reader keeps the sound one.
"""

import re
from dataclasses import dataclass, field

import pytest

FILL = b"\xa5"  # profile_dump's buffer fill: shows bytes nobody wrote
REPLACEMENT = "\ufffd"


@dataclass
class Case:
    name: str
    content: bytes | None  # None: no file is written (see `where`)
    section: str
    expected: dict  # key -> the value every lane returns (str, or bytes)
    options: tuple = ()
    wine: dict = field(default_factory=dict)  # key -> Wine's own, faulty result
    where: str = "file"  # file | missing | missing-folder | directory


def u(text: str) -> bytes:
    return text.encode("utf-8")


LONG = "v" * 5000

CASES = [
    # --- lines, blanks, names --------------------------------------------
    Case("blanks-around-keys-and-values", b"[Sec]\nk1 =  v1  \n  K2\t=\tv2\t\n", "sec",
         {"K1": "v1", "k2": "v2", " k1 ": "v1", "k2\t": "v2"}),
    Case("crlf-and-lone-cr", b"[Sec]\r\na=1\r\nb=2\rc=3\r\n\r\n", "Sec", {"a": "1", "b": "2", "c": "3"}),
    Case("other-blank-characters", b"[Sec]\na=\x1ax\x1a\nb=\x0bx\x0c\n" + u("c=\u00a0x\u00a0\nd=\u3000x\u2028\n"),
         "Sec", {"a": "x", "b": "x", "c": "\u00a0x\u00a0", "d": "\u3000x\u2028"}),
    Case("equals-signs", b"[Sec]\na=b=c\n=d\n a b = c d \n", "Sec", {"a": "b=c", "a b": "c d", "": "d"}),
    Case("comments-are-ordinary-keys", b";c=1\n[Sec]\n;c=2\n; c = 3\nc2\n#h=4\nc=5 ; not a comment\n", "Sec",
         {";c": "2", "; c": "3", "#h": "4", "c": "5 ; not a comment", "c2": "def"}, options=("--default", "def")),
    Case("quoted-key-names-are-literal", b"[Sec]\n\"a\"=1\n'b' = 2\n", "Sec",
         {"a": "", "b": "", '"a"': "1", "'b'": "2"}),
    Case("empty-values-are-not-defaults", b"[Sec]\nempty=\nblank=   \nnoequals\nnoequals2 \t\n", "Sec",
         {"empty": "", "blank": "", "noequals": "def", "noequals2": "def", "absent": "def"},
         options=("--default", "def")),
    Case("nul-characters-end-names-and-values", b"[Sec]\na=1\x00tail\nb\x00x=2\n\x00c=3\nd=4\n", "Sec",
         {"a": "1", "b": "2", "c": "", "": "3", "d": "4"}),

    # --- sections -----------------------------------------------------------
    Case("section-names-without-case-and-blanks", b"  [ Application Configuration ]  \nJvmPath=x\n",
         "application configuration", {"jvmpath": "x"}),
    Case("lookup-section-is-trimmed", b"[Sec]\na=1\n", " Sec\t", {"a": "1"}),
    Case("inner-blanks-count", b"[S ec]\na=1\n", "Sec", {"a": ""}),
    Case("section-header-up-to-last-bracket", b"[Sec]junk\na=1\n[x]y]\nb=2\n", "x]y", {"b": "2", "a": ""}),
    Case("unclosed-header-is-a-key-line", b"[Sec\na=1\n", "Sec", {"a": ""}),
    Case("nul-ends-a-section-name", b"[Se\x00c]\na=1\n", "Se", {"a": "1"}),
    Case("first-section-and-first-key-win", b"[Sec]\nd=1\nd=2\n[Sec]\nd=3\ne=4\n[Other]\nd=5\n", "Sec",
         {"d": "1", "e": ""}),
    Case("first-section-wins-across-case", b"[Sec]\nA=1\n[sec]\nB=2\n[Other]\nd=5\n", "SEC", {"a": "1", "b": ""}),
    Case("first-key-without-value-decides", b"[Sec]\nk\nk=2\n", "Sec", {"k": "def"}, options=("--default", "def")),
    Case("keys-before-any-section", b"top=1\n[Sec]\nx=2\n", "Sec", {"top": "", "x": "2"}),
    Case("keys-before-any-section-by-empty-name", b"top=1\n[]\nx=2\n[Sec]\ny=3\n", "", {"top": "1", "x": ""}),
    Case("only-ascii-letters-fold", u("[Sec]\n\u0130=1\n\u212a=2\n\u00c9=3\n\u0416=4\n"), "sec",
         {"i": "", "k": "", "\u00e9": "", "\u0436": "", "\u00c9": "3", "\u0416": "4"}),

    # --- quotes ---------------------------------------------------------------
    Case("one-pair-of-quotes", b"[Sec]\nq1=\"abc\"\nq2='abc'\nq3=\"abc'\nq4=\"\nq5=\"\"\nq6=''\nq7=\" x \"\n"
         b"q8=\"a\"b\"\nq9= \"pad\" \nq10=\"x\" \"y\"\nq11=\"x\" ;c\nq12='\n", "Sec",
         {"q1": "abc", "q2": "abc", "q3": "\"abc'", "q4": "\"", "q5": "", "q6": "", "q7": " x ", "q8": "a\"b",
          "q9": "pad", "q10": "x\" \"y", "q11": "\"x\" ;c", "q12": "'"}),

    # --- encodings --------------------------------------------------------------
    Case("utf8-without-bom", u("[Sec]\na=\u00e9t\u00e9 \u20ac \U0001F600\n"), "Sec", {"a": "\u00e9t\u00e9 \u20ac \U0001F600"}),
    Case("utf8-bom", b"\xef\xbb\xbf" + u("[Sec]\na=\u00e9t\u00e9\n"), "Sec", {"a": "\u00e9t\u00e9"}),
    Case("bom-only", b"\xef\xbb\xbf", "Sec", {"a": "def"}, options=("--default", "def")),
    Case("half-a-bom", b"\xef\xbb", "Sec", {"a": "def"}, options=("--default", "def")),
    Case("utf16le-bom", "\ufeff[Sec]\r\na=\u00e9t\u00e9\r\nb=\U0001F600\r\n".encode("utf-16-le"), "Sec",
         {"a": "\u00e9t\u00e9", "b": "\U0001F600"}),
    Case("utf16be-bom", "\ufeff[Sec]\na=\u00e9t\u00e9\n".encode("utf-16-be"), "Sec", {"a": "\u00e9t\u00e9"}),
    Case("utf16-without-bom-is-not-recognised", "[Sec]\na=1\n".encode("utf-16-le"), "Sec", {"a": ""}),
    Case("utf16-lone-surrogates", b"\xff\xfe" + "[Sec]\na=".encode("utf-16-le") + b"\x00\xd8x\x00\n\x00"
         + "b=".encode("utf-16-le") + b"\x00\xdc\n\x00", "Sec", {"a": REPLACEMENT + "x", "b": REPLACEMENT}),
    Case("malformed-utf8", b"[Sec]\na=\xe9t\xe9\nb=\xc3\nc=\xed\xa0\x80x\nd=\xc0\xaf\ne=\xe2\x82\n"
         b"f=x\xe0\x80\x80y\ng=\xf4\x90\x80\x80z\nh=\xf8\x88\x80\x80\x80w\ni=\x80\xbf\n", "Sec",
         {"a": REPLACEMENT + "t" + REPLACEMENT, "b": REPLACEMENT, "c": REPLACEMENT * 2 + "x",
          "d": REPLACEMENT * 2, "e": REPLACEMENT, "f": "x" + REPLACEMENT * 2 + "y", "g": REPLACEMENT * 3 + "z",
          "h": REPLACEMENT * 5 + "w", "i": REPLACEMENT * 2}),
    Case("sequence-cut-by-end-of-file", b"[Sec]\na=x\xf0a", "Sec", {"a": "x" + REPLACEMENT}),

    # --- lengths ------------------------------------------------------------------
    Case("long-value-cut-at-4095", u(f"[Sec]\nlong={LONG}\nafter=1\n"), "Sec", {"long": LONG[:4095], "after": "1"}),
    Case("long-line-before-the-key", u(f"[Sec]\nx{'y' * 100000}=1\nk=2\n"), "Sec", {"k": "2"}),
    Case("small-buffer-cuts", b"[Sec]\nc=abcd\nq=\"abcd\"\n", "Sec", {"c": "abcd", "q": "abcd"}, options=("--cap", "6")),
    Case("small-buffer-cuts-4", b"[Sec]\nc=abcd\nq=\"abcd\"\nr='abcdef'\n", "Sec", {"c": "abc", "q": "abc", "r": "abc"},
         options=("--cap", "4")),
    Case("one-byte-buffer", b"[Sec]\nc=abcd\n", "Sec", {"c": "", "d": ""}, options=("--cap", "1", "--default", "x")),
    Case("multibyte-cut-on-a-boundary", u("[Sec]\na=\u00e9\u00e9\u00e9\n"), "Sec", {"a": "\u00e9\u00e9"},
         options=("--cap", "5")),
    # Wine strips the closing quote after cutting and so loses one character
    # more when the text without the opening quote is exactly cap long.
    Case("quoted-value-of-exactly-the-buffer", b"[Sec]\nq=\"abcd\"\nr='abcd'\n", "Sec", {"q": "abcd", "r": "abcd"},
         options=("--cap", "5"), wine={"q": b"abc", "r": b"abc"}),
    # Wine returns cap - 1 even when the last UTF-8 character did not fit, and
    # leaves the byte(s) it did not write inside the returned length.
    Case("multibyte-cut-mid-character", u("[Sec]\na=a\u00e9\u00e9\nb=\U0001F600\n"), "Sec", {"a": "a\u00e9", "b": "\U0001F600"},
         options=("--cap", "5"), wine={"a": u("a\u00e9") + FILL}),
    Case("emoji-in-a-two-byte-buffer", u("[Sec]\nb=\U0001F600\n"), "Sec", {"b": ""},
         options=("--cap", "2"), wine={"b": FILL}),

    # --- defaults -------------------------------------------------------------------
    Case("default-loses-quotes", b"[Sec]\na=1\n", "Sec", {"x": "dq", "a": "1"}, options=("--default", '"dq"')),
    Case("default-loses-trailing-spaces-then-quotes", b"[Sec]\n", "Sec", {"x": "sq"}, options=("--default", "'sq'  ")),
    Case("default-keeps-leading-blanks-and-tabs", b"[Sec]\n", "Sec", {"x": "  lead\t"}, options=("--default", "  lead\t")),
    Case("default-of-blanks-keeps-one", b"[Sec]\n", "Sec", {"x": " "}, options=("--default", "   ")),
    Case("default-cut", b"[Sec]\n", "Sec", {"x": "abc"}, options=("--default", "abcdef", "--cap", "4")),
    Case("default-quoted-of-exactly-the-buffer", b"[Sec]\n", "Sec", {"x": "abcd"},
         options=("--default", '"abcd"', "--cap", "5"), wine={"x": b"abc"}),
    Case("default-for-a-missing-section", b"[Sec]\na=1\n", "Other", {"a": "dq"}, options=("--default", '"dq"')),
    Case("empty-file", b"", "Sec", {"a": "dq"}, options=("--default", '"dq"')),
    Case("missing-file-reads-as-empty", None, "Sec", {"a": "dq"}, options=("--default", '"dq"'), where="missing"),
    Case("missing-folder-gives-the-default-as-is", None, "Sec", {"a": '"dq"'}, options=("--default", '"dq" '),
         where="missing-folder"),
    Case("folder-instead-of-file", None, "Sec", {"a": '"dq"'}, options=("--default", '"dq"'), where="directory"),

    # --- the launcher's own settings file -----------------------------------------------
    Case("settings-file", b"\xef\xbb\xbf; settings of tool\r\n[Application Configuration]\r\n"
         b"JvmOptions = -Xmx%AVAILRAM50% \"-Dx=a b\"\r\n"
         b"JvmOptionsAppend=\r\nStdOutFile=\"logs\\%DATE%\\out.log\"\r\nShowConsole=yes\r\n"
         b"[Other]\r\nAppOptions=no\r\n", "Application Configuration",
         {"JvmOptions": '-Xmx%AVAILRAM50% "-Dx=a b"', "JvmOptionsAppend": "", "StdOutFile": "logs\\%DATE%\\out.log",
          "ShowConsole": "yes", "AppOptions": ""}),
]


def as_bytes(value) -> bytes:
    return value if isinstance(value, bytes) else value.encode("utf-8")


def unescape(text: str) -> bytes:
    """profile_dump's escapes (\\\\ \\t \\r \\n \\xHH) back to the bytes."""
    return text.encode("ascii").decode("unicode_escape").encode("latin-1")


LINE = re.compile(r"^(.*)\t(\d+)\t(.*)$")


def dump(lane, case: Case, folder):
    """Runs profile_dump in one lane; returns {key: value bytes}."""
    folder.mkdir()
    path = {"file": folder / "case.ini", "missing": folder / "absent.ini",
            "missing-folder": folder / "absent" / "absent.ini", "directory": folder / "folder.ini"}[case.where]
    if case.where == "file":
        path.write_bytes(case.content)
    elif case.where == "directory":
        path.mkdir()
    tool = lane.build / ("tests/profile_dump" + lane.exe_suffix)
    keys = list(case.expected)
    result = lane.run(tool, [*case.options, lane.native_path(path), case.section, *keys])
    assert result.status == 0, f"{lane.name}: {result}"
    values = {}
    lines = result.stdout.splitlines()
    assert len(lines) == len(keys), f"{lane.name}: {result}"
    for key, line in zip(keys, lines):
        match = LINE.match(line)
        assert match, f"{lane.name}: unparsable line {line!r}"
        value = unescape(match.group(3))
        assert int(match.group(2)) == len(value), f"{lane.name}: length of {key!r} in {line!r}"
        values[key] = value
    return values


@pytest.fixture(scope="module")
def lanes(request):
    found = [request.getfixturevalue("linux_lane")]
    try:
        found.append(request.getfixturevalue("windows_lane"))
    except pytest.skip.Exception:
        pass  # only our reader can be checked
    return found


@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_profile_reader_agrees_with_windows(case, lanes, tmp_path):
    results = {lane.name: dump(lane, case, tmp_path / lane.name) for lane in lanes}

    ours = {key: as_bytes(value) for key, value in case.expected.items()}
    assert results["linux"] == ours
    if "windows" in results:
        # Byte for byte the same, outside the named faults of Wine's own.
        assert results["windows"] == {**ours, **{key: as_bytes(value) for key, value in case.wine.items()}}


# --- 8-bit text to UTF-16 -----------------------------------------------------

UTF8_CASES = [
    "41", "4DFC6C6C6572", "C3A9E282ACF09D849E", "C080", "C180", "C2", "C241", "E080", "E08080", "E0A080", "E0A041",
    "E28241", "ED9FBF", "EDA080", "EDBFBF", "EE8080", "F08080", "F0908080", "F48FBFBF", "F4908080", "F5808080",
    "F8", "FF", "80", "BF41", "E2C3A9", "41E282", "F09080", "F0908041", "00410042",
]


def test_utf8_to_utf16_conversion_is_the_same_on_both_sides(linux_lane, windows_lane):
    """Invalid UTF-8 becomes U+FFFD on Linux exactly where Windows puts it."""
    outputs = {}
    for lane in (linux_lane, windows_lane):
        result = lane.run(lane.build / ("tests/utf16_units" + lane.exe_suffix), UTF8_CASES)
        assert result.status == 0, result
        outputs[lane.name] = result.out_lines
    assert outputs["linux"] == outputs["windows"]
    assert "4DFC6C6C6572: 004D FFFD 006C 006C 0065 0072" in outputs["linux"]  # Latin-1 "Müller"
