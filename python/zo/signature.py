"""The signature of a command, such as ``move to X Y [at SPEED]``.

- a word written literally (``to``) must stand there as a bare word;
- alternatives (``open|close``) take one of their words, which reaches the
  function as a ``str``;
- a placeholder in capitals (``X``, ``SPEED``) takes a value, bound to the
  function's parameter of the same name in lower case;
- a bracketed part (``[at SPEED]``) may be left out, and only trailing parts
  may be; a placeholder left out takes its parameter's default;
- a variadic tail (``VALUES...``) takes every value that is left.

The compiler checks each call site against the signature (`Signature.check`);
at run time `Signature.bind` gives the arguments for the function.
"""

import re

_TOKEN = re.compile(r"\[|\]|[^\s\[\]]+")
_PLACEHOLDER = re.compile(r"[A-Z][A-Z0-9_]*\Z")
# Matching walks a signature part by part, recursively: these bounds keep
# it far from Python's recursion limit, and far above any real command.
MAX_PARTS = 100
MAX_DEPTH = 16


class SignatureError(SyntaxError):
    """A call site that does not match its command's signature. Its repr is
    its message, so that a compile error reads as the message alone."""

    def __repr__(self):
        return str(self.args[0]) if self.args else "SignatureError"


class Word:
    """A bare word, one of `choices`; `bound` when it reaches the function."""

    def __init__(self, choices):
        self.choices = choices
        self.bound = len(choices) > 1
        self.parameter = None

    def __str__(self):
        return "|".join(self.choices)


class Value:
    def __init__(self, name):
        self.name = name
        self.parameter = name.lower()

    def __str__(self):
        return self.name


class Rest:
    """The variadic tail: zero or more values."""

    def __init__(self, name):
        self.name = name
        self.parameter = name.lower()

    def __str__(self):
        return self.name + "..."


class Optional_:
    def __init__(self, parts):
        self.parts = parts

    def __str__(self):
        return "[%s]" % " ".join(str(part) for part in self.parts)


class Signature:
    """A parsed signature: the command's `name` and its `parts`."""

    def __init__(self, text):
        if not isinstance(text, str):
            raise ValueError("a signature is a str such as 'move to X Y', not %s (%r)"
                             % (type(text).__name__, text))
        self.text = " ".join(text.split())
        tokens = _TOKEN.findall(text)
        if not tokens or not re.match(r"[^\W\d]\w*\Z", tokens[0]):
            raise ValueError("a signature starts with the command's name: %r" % _abridged(text))
        self.name = tokens[0]
        if len(tokens) > MAX_PARTS:
            raise ValueError("%s: a signature has at most %d words, placeholders and brackets"
                             % (self.name, MAX_PARTS))
        self.parts, end = _parse(tokens, 1, text, depth=0)
        _refuse_repeats(self.parts, text)
        self.bound = list(_walk(self.parts, bound_only=True))
        self.needs_words = any(isinstance(part, Word) and part.bound for part in self.bound)
        self.value_parts = _values_only(self.parts)
        self.words = [choice for part in _walk(self.parts) if isinstance(part, Word)
                      for choice in part.choices]

    def check(self, args):
        """Raises SignatureError unless the compile-time `args` match."""
        if _match(self.parts, args, 0, _fits_compiled) is None:
            raise SignatureError("%s: expected '%s', got '%s'"
                                 % (self.name, self.text, _shown(self.name, args)))

    def bind(self, args, with_words):
        """{parameter: argument} for run-time `args`: values only, or every
        argument, words as str, when `with_words`."""
        fits = _fits_word_or_value if with_words else _fits_value
        parts = self.parts if with_words else self.value_parts
        found = _match(parts, args, 0, fits)
        if found is None:
            raise TypeError("%s: the arguments %r do not fit '%s'"
                            % (self.name, list(args), self.text))
        return found[1]


def _abridged(text):
    return text if len(text) <= 60 else text[:57] + "..."


def _refuse_repeats(parts, text):
    seen = set()
    for part in _walk(parts):
        if isinstance(part, (Value, Rest)):
            if part.parameter in seen:
                raise ValueError("%s stands twice in %r: each placeholder names a parameter of "
                                 "its own" % (part.name, text))
            seen.add(part.parameter)


def _parse(tokens, index, text, depth):
    nested = depth > 0
    parts = []
    while index < len(tokens):
        token = tokens[index]
        if token == "]":
            if not nested:
                raise ValueError("a ']' without its '[' in %r" % text)
            return parts, index + 1
        if parts and isinstance(parts[-1], Rest):
            raise ValueError("nothing may follow a variadic tail in %r" % text)
        if token == "[":
            if depth == MAX_DEPTH:
                raise ValueError("optional parts nest at most %d deep in a signature"
                                 % MAX_DEPTH)
            inner, index = _parse(tokens, index + 1, text, depth + 1)
            if not inner:
                raise ValueError("an empty '[]' in %r" % text)
            parts.append(Optional_(inner))
            continue
        if parts and isinstance(parts[-1], Optional_):
            raise ValueError("only trailing parts may be optional in %r" % text)
        if token.endswith("...") and _PLACEHOLDER.match(token[:-3]):
            parts.append(Rest(token[:-3]))
        elif _PLACEHOLDER.match(token):
            parts.append(Value(token))
        elif "|" in token and all(token.split("|")):
            parts.append(Word(token.split("|")))
        elif "|" not in token and "..." not in token:
            parts.append(Word([token]))
        else:
            raise ValueError("%r is not a word, alternatives or a placeholder in %r"
                             % (token, text))
        index += 1
    if nested:
        raise ValueError("a '[' without its ']' in %r" % text)
    return parts, index


def _walk(parts, bound_only=False):
    for part in parts:
        if isinstance(part, Optional_):
            yield from _walk(part.parts, bound_only)
        elif not bound_only or not isinstance(part, Word) or part.bound:
            yield part


def _values_only(parts):
    """The parts that leave a trace among run-time values: without words, an
    optional part's presence shows in the number of values alone."""
    kept = []
    for part in parts:
        if isinstance(part, Optional_):
            inner = _values_only(part.parts)
            if inner:
                kept.append(Optional_(inner))
        elif not isinstance(part, Word):
            kept.append(part)
    return kept


def _match(parts, args, index, fits):
    """(index after, bindings) for the first way `parts` match args[index:]
    to the end, trying each optional part present before absent; or None."""
    if not parts:
        return (index, {}) if index == len(args) else None
    part, rest = parts[0], parts[1:]
    if isinstance(part, Optional_):
        found = _match(part.parts + rest, args, index, fits)
        return found if found is not None else _match(rest, args, index, fits)
    if isinstance(part, Rest):
        tail = args[index:]
        if not all(fits(None, arg) for arg in tail):
            return None
        return len(args), {part.parameter: list(tail)}
    if index >= len(args):
        return None
    arg = args[index]
    word = fits(part if isinstance(part, Word) else None, arg)
    if word is None or word is False:
        return None
    found = _match(rest, args, index + 1, fits)
    if found is None:
        return None
    if isinstance(part, Value):
        found[1][part.parameter] = arg
    elif part.bound:
        found[1][part.parameter] = word
    return found


def _fits_compiled(word, arg):
    """For a Word part, the matching choice or None; for a value, whether
    the Arg is a value."""
    if word is None:
        return arg.is_value()
    if not arg.is_word():
        return None
    return next((choice for choice in word.choices if arg.matches_word(choice)), None)


def _fits_value(word, arg):
    return True


def _fits_word_or_value(word, arg):
    if word is None:
        return True
    return arg if isinstance(arg, str) and arg in word.choices else None


def _shown(name, args):
    """The call as written, as far as compile time knows it: a value shows
    as '…' (the renderer of diagnostics puts the source text there)."""
    shown = [name]
    for arg in args:
        if arg.is_value():
            shown.append("\u2026")
        else:
            text = arg.word() if hasattr(arg, "word") else None
            shown.append(text if text is not None else "?")
    return " ".join(shown)
