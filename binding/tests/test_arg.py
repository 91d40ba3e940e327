"""Arg objects, as a syntax check sees them. They exist only during
compilation, so these tests need the Compiler's compile method."""

import pytest
import zolangpy

pytestmark = pytest.mark.skipif(not hasattr(zolangpy.Compiler, "compile"),
                                reason="needs Compiler.compile")


class Recorder(zolangpy.CallableGenerator):
    """Keeps the Arg lists it is asked to check."""

    def __init__(self):
        self.seen = []

    def check_syntax(self, args):
        self.seen.append(args)


def args_of(call_arguments):
    recorder = Recorder()
    compiler = zolangpy.Compiler()
    compiler.register_callable("f", recorder)
    assert compiler.compile(f"f {call_arguments};")
    (args,) = recorder.seen
    return args


def test_values_and_words_are_told_apart_in_source_order():
    args = args_of('1 forward "text" 2 + 3 back')
    assert [arg.is_value() for arg in args] == [True, False, True, True, False]
    assert [arg.is_word() for arg in args] == [False, True, False, False, True]


@pytest.mark.parametrize("text, matches", [
    ("forward", True),
    ("Forward", False),
    ("forward ", False),
    ("forwar", False),
    ("", False),
])
def test_matches_word_compares_bytes_exactly(text, matches):
    (word,) = args_of("forward")
    assert word.matches_word(text) is matches
    assert word.matches_word(s=text) is matches


def test_a_precomposed_letter_does_not_match_its_decomposed_form():
    (word,) = args_of("caf\u00e9")
    assert word.matches_word("caf\u00e9")
    assert not word.matches_word("cafe\u0301")


def test_a_value_matches_no_word_not_even_the_empty_one():
    (value,) = args_of("1")
    assert value.matches_word("") is False
    assert value.matches_word("1") is False


def test_matches_word_wants_a_str():
    (word,) = args_of("forward")
    with pytest.raises(TypeError) as info:
        word.matches_word(1)
    assert str(info.value) == "argument 's': 'int' object cannot be cast as 'str'"


def test_args_stay_usable_after_compilation():
    (word,) = args_of("left")
    assert word.is_word() and word.matches_word("left")
    assert type(word) is zolangpy.Arg


def test_args_of_many_calls_and_many_words_each_answer_for_their_own():
    # Args are shared between checks; past the few dozen words kept, new ones
    # are made. Either way every list reads as its call was written.
    words = [f"w{n}" for n in range(40)]
    recorder = Recorder()
    compiler = zolangpy.Compiler()
    compiler.register_callable("f", recorder)
    assert compiler.compile("".join(f"f 1 {word} {word};\n" for word in words * 2))
    assert len(recorder.seen) == 80
    for args, word in zip(recorder.seen, words * 2):
        assert [arg.is_value() for arg in args] == [True, False, False]
        assert args[1].matches_word(word) and args[2].matches_word(word)
        assert not any(args[1].matches_word(other) for other in words if other != word)
