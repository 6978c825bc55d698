#!/usr/bin/python3
"""Generates the display's transliteration table from ICU's transforms.

Every character of the Latin, Greek and Cyrillic scripts and of the Common
and Inherited ones (punctuation, symbols, digits, marks) gets the ASCII
spelling (0x20..0x7E) that ICU's transforms give it, when they give one:

- Cyrillic: Russian-Latin/BGN first ("Щука" -> "Shchuka"); letters Russian
  does not use take the first of the other national BGN transforms that
  spells them (Ukrainian, Belarusian, Serbian, Macedonian), then Any-Latin.
  BGN's separator dot ("t·s") is dropped: on the display it is only noise.
- everything else: Any-Latin (Greek-Latin for Greek).
- then Latin-ASCII; a character still left over is tried once more in its
  compatibility decomposition (NFKD: "²" -> "2", "™" -> "TM"), as long as
  that is Latin or common characters and leaves more than blanks.

A spelling is taken in the middle of a word (between two "b"s of the
character's script), so "е" is "e" as in "Москве", not the "ye" BGN writes
at the start of a word; a combining mark after a letter spells as nothing.
A capital whose spelling has several letters is written in capitals unless
a lower-case letter follows ("ЩУКА" -> "SHCHUKA", "Щука" -> "Shchuka"); the
table marks such capitals, and marks lower-case letters so that the program
can tell what follows. Where a letter is spelled differently next to another
letter of its script than on its own ("ου" -> "ou", not "oy"; "γγ" -> "ng";
"ое" -> "oye"), the pair goes into a second table.

Output: a C++ source with both tables, sorted by code point, and the
ranges of Unicode's Default_Ignorable_Code_Point characters (zero-width,
format and variation selector characters, which the program leaves out), for
src/text/translit_table.h. The same ICU gives the same file byte for byte.

Usage: gen_translit_table.py OUTPUT.cpp
       gen_translit_table.py --check PROBE [SAMPLE_STEP]
The second form runs PROBE (a program that transliterates lines of hex
UTF-16 units) over every SAMPLE_STEP-th (by default every) character and
pair of the table, in the middle of a word, and compares with what ICU
makes of the same text.
"""
import subprocess
import sys

import icu

CoveredScripts = ("Latn", "Grek", "Cyrl", "Zyyy", "Zinh")
# A compatibility decomposition counts only within Latin: the micro sign's
# is the Greek mu, and "µg" must not become "mg".
CompatibleScripts = ("Latn", "Zyyy", "Zinh")
CyrillicTransforms = ("Russian-Latin/BGN", "Ukrainian-Latin/BGN", "Belarusian-Latin/BGN",
                       "Serbian-Latin/BGN", "Macedonian-Latin/BGN", "Any-Latin")
# Lower-case and capital consonants that stand around a character, so that
# it is spelled as in the middle of a word.
ScriptConsonants = {"Cyrl": ("б", "Б"), "Grek": ("β", "Β")}
LatinConsonants = ("b", "B")
SeparatorDot = "\u00b7"
# Flags, as src/text/translit_table.h names them.
CapitalBeforeLower = 1  # title case ("Shch") before a lower-case letter, else capitals
LowerCase = 2            # the character is a lower-case letter
PairSecond = 4           # a pair's spelling replaces its second character's
# Pairs come from the letters of these blocks.
PairBlocks = ((0x0370, 0x03FF), (0x0400, 0x045F))

Transforms = {}


def Transform(name):
    if name not in Transforms:
        Transforms[name] = icu.Transliterator.createInstance(name + "; Latin-ASCII")
    return Transforms[name]


def IsDisplayable(text):
    return all(0x20 <= ord(ch) <= 0x7E for ch in text)


def ScriptOf(codePoint):
    return icu.Script.getScript(codePoint).getShortName()


def Consonants(script):
    return ScriptConsonants.get(script, LatinConsonants)


def Spell(transformName, text):
    spelled = Transform(transformName).transliterate(text)
    if transformName.endswith("/BGN"):
        spelled = spelled.replace(SeparatorDot, "")
    return spelled


def SpellBetween(transformName, script, middle, after):
    """The spelling of middle between a lower-case consonant and after, or
    None when the consonants do not come out unchanged around it."""
    lower = Consonants(script)[0]
    head = Spell(transformName, lower)
    tail = Spell(transformName, after)
    whole = Spell(transformName, lower + middle + after)
    if not (whole.startswith(head) and whole.endswith(tail)) or len(whole) < len(head) + len(tail):
        return None
    return whole[len(head):len(whole) - len(tail)]


def SpellInWord(transformName, script, text):
    """(spelling, flags) of text inside a word, or None."""
    lower, upper = Consonants(script)
    beforeLower = SpellBetween(transformName, script, text, lower)
    beforeUpper = SpellBetween(transformName, script, text, upper)
    if beforeLower is None or beforeUpper is None:
        return None
    if beforeLower == beforeUpper:
        return beforeLower, 0
    if beforeLower == beforeUpper[:1] + beforeUpper[1:].lower() and beforeUpper.isupper():
        return beforeUpper, CapitalBeforeLower
    return None


def TransformNames(script):
    return CyrillicTransforms if script == "Cyrl" else ("Any-Latin",)


def Compatible(text):
    return icu.Normalizer2.getNFKDInstance().normalize(text)


def SpellCharacter(codePoint):
    """(spelling, flags, transform name) of one character, or None."""
    script = ScriptOf(codePoint)
    ch = chr(codePoint)
    for name in TransformNames(script):
        found = SpellInWord(name, script, ch)
        if found and found[0] != ch and IsDisplayable(found[0]):
            return found[0], found[1], name
    decomposed = Compatible(ch)
    if not all(ScriptOf(ord(each)) in CompatibleScripts for each in decomposed):
        return None
    spelled = Spell("Any-Latin", decomposed)
    if spelled != ch and IsDisplayable(spelled) and spelled.strip():
        return spelled, 0, None
    return None


def CaseFlags(codePoint):
    return LowerCase if icu.Char.isULowercase(codePoint) else 0


def IsAssigned(codePoint):
    return icu.Char.charType(codePoint) not in (
        icu.UCharCategory.UNASSIGNED, icu.UCharCategory.SURROGATE, icu.UCharCategory.PRIVATE_USE_CHAR)


def Characters():
    """{code point: (spelling, flags, transform name)} for every character
    beyond ASCII that has a spelling."""
    table = {}
    for codePoint in range(0x80, 0x110000):
        if not IsAssigned(codePoint) or ScriptOf(codePoint) not in CoveredScripts:
            continue
        found = SpellCharacter(codePoint)
        if found:
            table[codePoint] = (found[0], found[1] | CaseFlags(codePoint), found[2])
    return table


def AsSingles(table, first, second, after):
    """What the single-character table writes for first and second, before
    after (a consonant of their script, so in the table too)."""
    spelled = []
    for codePoint, following in ((first, second), (second, after)):
        spelling, flags, _ = table[codePoint]
        if flags & CapitalBeforeLower and table[following][1] & LowerCase:
            spelling = spelling[:1] + spelling[1:].lower()
        spelled.append(spelling)
    return spelled


def PairPart(table, first, second, after):
    """(spelling, flags) of the one character of the pair that the pair
    spells differently, before after; "" when none does; None when the
    pair changes both."""
    script = ScriptOf(first)
    name = table[first][2]
    if SeparatorDot in Transform(name).transliterate(chr(first) + chr(second)):
        return ""  # letters BGN keeps apart are spelled one by one
    whole = SpellBetween(name, script, chr(first) + chr(second), after)
    singles = AsSingles(table, first, second, ord(after))
    if whole is None or whole == "".join(singles):
        return None if whole is None else ""
    if whole.startswith(singles[0]):
        return whole[len(singles[0]):], PairSecond
    if whole.endswith(singles[1]):
        return whole[:len(whole) - len(singles[1])], 0
    return None


def SpellPair(table, first, second):
    """(spelling, flags) that replaces one of the pair's spellings, or None
    when the pair spells as its characters do one by one (or the table
    cannot say how it spells)."""
    beforeLower, beforeUpper = (PairPart(table, first, second, after) for after in Consonants(ScriptOf(first)))
    if not beforeLower or not beforeUpper or beforeLower[1] != beforeUpper[1]:
        return None
    if not IsDisplayable(beforeLower[0] + beforeUpper[0]):
        return None
    if beforeLower[0] == beforeUpper[0]:
        return beforeLower
    if beforeLower[1] == PairSecond and beforeUpper[0].isupper() and \
            beforeLower[0] == beforeUpper[0][:1] + beforeUpper[0][1:].lower():
        return beforeUpper[0], PairSecond | CapitalBeforeLower
    return None


def PairLetters(table):
    letters = {}
    for codePoint, (_, _, name) in table.items():
        inBlock = any(low <= codePoint <= high for low, high in PairBlocks)
        if inBlock and name == TransformNames(ScriptOf(codePoint))[0] and icu.Char.isalpha(codePoint):
            letters.setdefault(ScriptOf(codePoint), []).append(codePoint)
    return letters


def Pairs(table):
    """{(first, second): (spelling, flags)}"""
    pairs = {}
    for letters in PairLetters(table).values():
        for first in letters:
            for second in letters:
                found = SpellPair(table, first, second)
                if found:
                    pairs[(first, second)] = found
    return pairs


def TextPool(spellings):
    """(pool, {spelling: offset}); a spelling found inside the pool is not
    added again."""
    pool = ""
    offsets = {}
    for spelling in sorted(set(spellings), key=lambda s: (-len(s), s)):
        at = pool.find(spelling)
        if at < 0:
            at = len(pool)
            pool += spelling
        offsets[spelling] = at
    if len(pool) > 0xFFFF:
        raise SystemExit("gen_translit_table: the spellings outgrow 16-bit offsets")
    return pool, offsets


def CppString(text):
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("?", "\\?")
    return "\n".join('    "%s"' % escaped[i:i + 72] for i in range(0, len(escaped), 72))


def IsIgnorable(codePoint):
    return icu.Char.hasBinaryProperty(codePoint, icu.UProperty.DEFAULT_IGNORABLE_CODE_POINT)


def IgnorableRanges():
    """(first, last) of every run of Unicode's Default_Ignorable_Code_Point
    characters: zero-width, format and variation selector characters, which
    are not to be seen and are left out, all alike."""
    ranges, first = [], None
    for codePoint in range(0x110001):
        ignorable = codePoint <= 0x10FFFF and IsIgnorable(codePoint)
        if ignorable and first is None:
            first = codePoint
        elif not ignorable and first is not None:
            ranges.append((first, codePoint - 1))
            first = None
    return ranges


def CppSource(table, pairs):
    pool, offsets = TextPool([v[0] for v in table.values()] + [v[0] for v in pairs.values()])
    lines = ["// Generated by tools/translit/gen_translit_table.py from ICU %s; do not edit." % icu.ICU_VERSION,
             '#include "text/translit_table.h"', "",
             "const char TranslitText[] =", CppString(pool) + ";", "",
             "const TranslitSpelling TranslitSpellings[] = {"]
    for codePoint, (spelling, flags, _) in sorted(table.items()):
        lines.append("    {0x%04X, %d, %d, %d}," % (codePoint, offsets[spelling], len(spelling), flags))
    lines += ["};", "const size_t TranslitSpellingCount = sizeof TranslitSpellings / sizeof TranslitSpellings[0];",
              "", "const TranslitPair TranslitPairs[] = {"]
    for (first, second), (spelling, flags) in sorted(pairs.items()):
        lines.append("    {0x%04X, 0x%04X, %d, %d, %d}," % (first, second, offsets[spelling], len(spelling), flags))
    lines += ["};", "const size_t TranslitPairCount = sizeof TranslitPairs / sizeof TranslitPairs[0];",
              "", "const IgnorableRange IgnorableRanges[] = {"]
    for first, last in IgnorableRanges():
        lines.append("    {0x%04X, 0x%04X}," % (first, last))
    lines += ["};", "const size_t IgnorableRangeCount = sizeof IgnorableRanges / sizeof IgnorableRanges[0];", ""]
    return "\n".join(lines)


def WriteIfChanged(path, text):
    try:
        with open(path, encoding="ascii") as old:
            if old.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(text)


def CheckSamples(table, pairs, step):
    """(input, what ICU makes of it) for every step-th character and pair;
    currency signs are left to the hand-kept table, characters not to be
    seen to the ignorable ranges."""
    samples = []
    for codePoint in sorted(table)[::step]:
        spelling, flags, name = table[codePoint]
        if icu.Char.charType(codePoint) == icu.UCharCategory.CURRENCY_SYMBOL or IsIgnorable(codePoint):
            continue
        if name is None:
            samples.append((chr(codePoint), Spell("Any-Latin", Compatible(chr(codePoint)))))
            continue
        for after in Consonants(ScriptOf(codePoint)):
            text = Consonants(ScriptOf(codePoint))[0] + chr(codePoint) + after
            samples.append((text, Spell(name, text)))
    for first, second in sorted(pairs)[::step]:
        for after in Consonants(ScriptOf(first)):
            text = Consonants(ScriptOf(first))[0] + chr(first) + chr(second) + after
            samples.append((text, Spell(table[first][2], text)))
    return samples


def Utf16Units(text):
    data = text.encode("utf-16-le")
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]


def FromUtf16Units(units):
    return b"".join(bytes((unit & 0xFF, unit >> 8)) for unit in units).decode("utf-16-le", "surrogatepass")


def Check(probe, step):
    table = Characters()
    samples = CheckSamples(table, Pairs(table), step)
    request = "".join(" ".join("%X" % unit for unit in Utf16Units(text)) + "\n" for text, _ in samples)
    reply = subprocess.run([probe], input=request, capture_output=True, text=True, check=True).stdout.split("\n")
    failures = 0
    for (text, expected), line in zip(samples, reply):
        got = FromUtf16Units(int(unit, 16) for unit in line.split())
        if got != expected:
            failures += 1
            print("%s: ICU %r, table %r" % (" ".join("U+%04X" % ord(ch) for ch in text), expected, got))
    print("%d of %d samples differ from ICU %s" % (failures, len(samples), icu.ICU_VERSION))
    return 1 if failures or len(reply) < len(samples) else 0


def Main(arguments):
    if len(arguments) >= 2 and arguments[0] == "--check":
        return Check(arguments[1], int(arguments[2]) if len(arguments) > 2 else 1)
    if len(arguments) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    table = Characters()
    WriteIfChanged(arguments[0], CppSource(table, Pairs(table)))
    return 0


if __name__ == "__main__":
    sys.exit(Main(sys.argv[1:]))
