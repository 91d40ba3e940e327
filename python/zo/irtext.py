"""Which strings of a Zo source the IR text cannot carry.

IR text has no escapes: a string is printed as it is, between double quotes,
one instruction per line. So a string with a line break splits its
instruction across lines, and one with a double quote can let a space fall
outside the quoted runs, where the reader splits words; neither reads back
as it was. `zo ir` asks this module before it writes IR.

Whether a string reads back is the IR reader's own answer: the library's word
splitter, through `zolangpy.Compiler.split_ir_words`. Finding the string
literals walks the source by code points; a character counts as a quote on
its own, as the lexer sees it, only when no combining mark follows it (the
lexer walks grapheme clusters; this approximates their edges).
"""

import unicodedata

import zolangpy


def _extends(char):
    """Whether `char` joins the cluster of the character before it."""
    return (unicodedata.category(char) in ("Mn", "Me", "Mc")
            or char in "\u200c\u200d" or "\U0001f3fb" <= char <= "\U0001f3ff")


def _alone(text, index):
    return index + 1 >= len(text) or not _extends(text[index + 1])


def string_literals(source):
    """(line, text) of each string literal of the source, in order."""
    found, index, line = [], 0, 1
    while index < len(source):
        char = source[index]
        if char == "\n":
            line += 1
        elif char == "#" and _alone(source, index):
            end = source.find("\n", index)
            index = len(source) if end < 0 else end
            continue
        elif char in "\"'" and _alone(source, index):
            end = index + 1
            while end < len(source) and not (source[end] == char and _alone(source, end)):
                end += 1
            text = source[index + 1:end]
            found.append((line, text))
            line += text.count("\n")
            index = end + 1
            continue
        index += 1
    return found


def unreadable_string(source):
    """(line, why) for the first string literal whose IR text would not read
    back as the same string, or None when every one does."""
    for line, text in string_literals(source):
        if "\n" in text:
            return line, "this string holds a line break"
        if len(zolangpy.Compiler.split_ir_words('"%s"' % text)) != 1:
            return line, "this string holds a space outside the double-quoted runs of its text"
    return None
