"""Type stubs for zolangpy, the Zo automation language for Python hosts."""

from typing import Dict, List, Literal, Optional, Tuple, TypedDict, Union

__all__ = ["Interpreter", "Compiler", "Arg", "Callable", "CallableGenerator", "Prop"]

Value = Union[float, str, bool, None]

# The shapes below exist in this stub only: the module has no such names.

class Diagnostic(TypedDict):
    """One compile error, as `Compiler.diagnostics()` gives it."""

    text: str  # exactly the line `print_errors` writes
    message: str  # the text without its "[line N] " or "[end] " prefix
    # Where the offending token is, even where `text` says line 0 or none:
    # 1-based, columns counted in code points, the end just past the token.
    line: Optional[int]
    column: Optional[int]
    end_line: Optional[int]
    end_column: Optional[int]
    # Related places, such as where an unclosed block opened, and hints such
    # as "did you mean 'print'?", whose line and column are None.
    notes: List[Tuple[str, Optional[int], Optional[int]]]

class RunError(TypedDict):
    """The failure of the last `run()` or `stop()` that failed, as
    `Interpreter.last_error()` gives it."""

    text: str  # the ZoError's text
    address: Optional[int]  # the instruction that failed
    line: Optional[int]  # where it was written (None for programs read from IR)
    column: Optional[int]
    # The group calls that led there, outermost first: (group, line of the call).
    trace: List[Tuple[str, Optional[int]]]

class CallSite(TypedDict):
    """The native call being served, as `Interpreter.call_site()` gives it."""

    address: int  # the instruction that made the call
    line: Optional[int]  # where it was written (None for programs read from IR)
    column: Optional[int]
    context: int  # the id of the context that made it, as `contexts()` gives it
    group: Optional[str]  # the group that context runs; None for the main program

class Context(TypedDict):
    """One live execution context, as `Interpreter.contexts()` gives it."""

    id: int  # kept while the context lives
    parent: Optional[int]  # None for the root
    group: Optional[str]  # the group it runs; None for the main program
    line: Optional[int]  # where it stands (None for programs read from IR)
    column: Optional[int]
    waiting: Optional[str]  # the native it waits on
    mode: Optional[Literal["parallel", "race"]]  # while it waits for a block's branches
    branch: Optional[int]  # its index among its siblings; None for the root

# A place in source text: (line, column, end_line, end_column), 1-based,
# columns in code points, the end just past the name.
Span = Tuple[int, int, int, int]

class OutlineParam(TypedDict):
    text: str  # the word, or the value parameter's variable without its `$`
    value: bool
    span: Span

class OutlineGroup(TypedDict):
    name: str
    span: Span  # the name
    extent: Span  # from the keyword `group` to the closing brace (the end of the text without one)
    params: List[OutlineParam]

class OutlineUse(TypedDict):
    name: str  # without the `$`
    span: Span

class OutlineVariable(TypedDict):
    name: str  # without the `$`
    scope: Optional[int]  # the group's index in `groups`; None for the main code
    parameter: bool
    defined: Span  # the parameter, or the first assignment
    places: List[Span]  # every place it is named, in source order

class OutlineCall(TypedDict):
    name: str
    span: Span
    target: Optional[Literal["group", "native"]]  # None: neither, the compiler would refuse it
    group: Optional[int]  # the group called, by index in `groups`
    scope: Optional[int]  # the group whose body makes the call; None for the main code

class Outline(TypedDict):
    """What `Compiler.outline()` gives."""

    complete: bool  # False when syntax errors left top-level items out
    groups: List[OutlineGroup]  # in source order; a redefinition is a group of its own
    uses: List[OutlineUse]
    variables: List[OutlineVariable]
    calls: List[OutlineCall]  # in source order

class Suspension(TypedDict):
    """Why a program is suspended, as `Interpreter.suspension` gives it."""

    reason: Literal["breakpoint", "step", "pause", "exception"]
    context: int  # the id of the context that stopped
    address: int
    line: Optional[int]
    column: Optional[int]
    error: Optional[str]  # for "exception", the error's text (see break_on_error)

class DebugFrame(TypedDict):
    """One group call of a context, innermost first."""

    group: Optional[str]  # None for the main program
    address: int
    line: Optional[int]
    column: Optional[int]
    variables: Dict[str, Value]

class DebugContext(TypedDict):
    """One live context, as `Interpreter.debug_contexts()` gives it."""

    id: int  # as contexts() gives it
    parent: Optional[int]
    branch: Optional[int]  # its place among its siblings
    frames: List[DebugFrame]

class Interpreter:
    def __init__(self, ir: Optional[str] = None) -> None: ...
    def run(self) -> bool:
        """Invokes the interpreter, which will continue until it yields.

        Returns `False` if the program
        is complete, otherwise returns `True`.
        """
    def stop(self) -> None:
        """Stops execution of the interpreter, which invokes the `terminate` method of any active
        `Callable`s, as well as the `__end` group, if it is defined.

        The `__end` group runs to completion within this call: native calls inside it are
        polled again and again, without returning to the host, until they complete.
        """
    def request_stop(self) -> None:
        """Asks the program to stop in steps; callable from any thread at any time.

        It never blocks and is never refused, also while `run` is active on another thread
        or from inside one of this interpreter's own natives. At the next check point or
        step boundary the step ends and every active `Callable` is terminated; `__end` then
        runs in the following `run` calls, one step per call, while `run` returns `True` and
        `status` is "ending"; `run` returns `False` once it has finished (at once without
        an `__end`). A second call, or a call while ending or after the end, does nothing;
        `reset` forgets a request not yet acted on.
        """
    def contexts(self) -> List[Context]:
        """The live execution contexts, breadth-first from the root, as a list of dicts.

        Each holds `id` (an int, kept while the context lives), `parent` (its parent's id,
        None for the root), `group` (the group it runs, None for the main program),
        `line` and `column` (where it stands; None where unknown, as for IR text),
        `waiting` (the name of the native it waits on, or None), `mode` ("parallel" or
        "race" while it waits for the branches of a block, else None) and `branch` (its
        index among its siblings, None for the root). Like `call_site`, it may be called
        between steps and from inside a native.
        """
    def reset(self) -> None:
        """Resets the interpreter to its initial state.

        Does not discard any registered callables or
        properties. Does not invoke `terminate` for any active `Callable`s, so if that is required,
        call `stop` first.
        """
    def last_error(self) -> Optional[RunError]:
        """Describes the failure of the last `run` or `stop` that failed, or returns None.

        The dict holds `text` (the `ZoError`'s text), `address` (the instruction that failed),
        `line` and `column` (where that instruction was written; 1-based, columns in code
        points), each None where unknown (a program read from IR text has no lines), and
        `trace`, the group calls that led there as `(group, line)` pairs, outermost first: a
        group called, the group a `parallel` or `race` branch ran (with the line of its call in
        the block), or `__end` when the failure was in the end group. It stays until the next
        failure replaces it or `reset` clears it.
        """
    def call_site(self) -> Optional[CallSite]:
        """Where the native call being served was made, for a native to ask from its `generate`,
        `call` or `terminate` while `run` or `stop` runs it; None at any other time.

        The dict holds `address` (the instruction that made the call), and `line` and `column`
        (where it was written; 1-based, columns in code points), None where unknown (a program
        read from IR text has no lines). A native called in a `parallel` or `race` block has
        the place of its own call in the block. `context` is the id of the context that made
        the call (as `contexts` gives it) and `group` the group it runs, None for the main
        program. Unlike the other methods, it may be called while the interpreter is running.
        """
    def set_limits(
        self,
        *,
        instructions: Optional[int] = None,
        seconds: Optional[float] = None,
        memory: Optional[int] = None,
    ) -> None:
        """Bounds the work of each later `run()` and `stop()`; `None` is no limit.

        `instructions` is the number of budget units one call may spend: every
        backward jump, group call and spawned group costs one, and so does every
        pass of `stop()` over `__end`. `seconds` is the wall time one call may take,
        checked every few thousand units. A call that hits a limit raises `ZoError`
        ("[address N] Instruction budget exhausted" or "[address N] Time limit
        exceeded") and leaves the program as a failed step does: call `stop()`,
        which runs `__end` under the same limits, or `reset()`.

        `memory` is the number of bytes the running program may hold: its strings, on
        stacks and in variables, its contexts, their stacks and frames. It bounds the
        whole run rather than one call, and a step that would go past it raises
        "[address N] Memory limit exceeded", as does any allocation the system refuses.
        """
    @staticmethod
    def check_if_prop(value: object) -> bool:
        """Checks if a value is a subclass of `Prop`.

        This method exists mainly for the implementation's convenience and should be treated as
        deprecated, though it is unlikely ever to be removed.
        """
    @staticmethod
    def check_if_callable(value: object) -> bool:
        """Checks if a value is a subclass of `CallableGenerator`.

        This method exists mainly for the implementation's convenience and should be treated as
        deprecated, though it is unlikely ever to be removed.
        """
    @property
    def status(self) -> Literal["fresh", "running", "paused", "ending", "ended", "suspended"]:
        """Where the run stands: "fresh", "running", "paused", "ending" or "ended".

        "fresh" until the first `run` (and after `reset`), "paused" while `run` returns
        `True`, "ended" once it returned `False` or a `stop` completed, "running" after a
        run-time error, "ending" after a `stop` whose `__end` group failed. Neither `run` nor
        `stop` refuses an ended program: both run `__end` again (without one, `run` starts the
        program over), so a host checks for "ended" first. "suspended" while a
        breakpoint, a step or a pause holds the program (see `suspension`).
        """
    @property
    def suspension(self) -> Optional[Suspension]:
        """Why the program is suspended, or None: a dict of `reason` ("breakpoint",
        "step", "pause" or "exception"), `context` (the id of the context that stopped),
        `address`, `line`, `column` and `error` (for "exception" the error's text, else
        None).
        """
    @property
    def break_on_error(self) -> bool:
        """Whether a run-time error suspends the program instead of failing `run`.

        `False` by default. When `True`, a step that meets a run-time error returns `True`
        with `status` "suspended" and `suspension` of reason "exception", the error's
        text under `error` and the failing instruction's place, so that `debug_contexts`
        shows the contexts as they were. After `resume`, however it goes on, the next `run`
        raises that error. Errors in `__end`, and interrupts raised at check points, raise
        at once as usual.
        """
    @break_on_error.setter
    def break_on_error(self, value: bool) -> None: ...
    def set_breakpoints(self, lines: List[int], /) -> List[Optional[int]]:
        """Sets breakpoints on the given source lines, replacing those set before.

        Returns, for each, the line it was set on (the first at or after it with code) or
        None. A context reaching one suspends the program: see `suspension`.
        """
    def pause(self) -> None:
        """Asks the program to suspend, from any thread, without waiting. The next `run`
        suspends before running anything; a `run` under way suspends where a context
        next reaches a new line.
        """
    def resume(self, how: Literal["continue", "over", "into", "out"] = "continue", /) -> None:
        """Goes on from a suspension: "continue", or a step "over", "into" or "out"
        of the line in the context that stopped; the next `run` makes it.
        """
    def debug_contexts(self) -> List[DebugContext]:
        """The live contexts, breadth-first from the root: dicts of `id`, `parent`, `branch`
        and `frames`, innermost first, each with `group`, `address`, `line`, `column` and
        `variables` (a dict of the frame's variables that hold a value).
        """
    def read_property(self, name: str, /) -> Value:
        """The value of a registered property, read by calling its `get()`; KeyError when
        the program has no property of that name.
        """
    @property
    def end_in_steps(self) -> bool:
        """Whether a program that finishes by itself runs `__end` in the following `run` calls.

        `False` by default: `__end` then runs to completion inside the `run` that finished
        the program. When `True`, it runs one step per later `run` call, as after
        `request_stop`, so that a host's own loop keeps turning while it runs.
        """
    @end_in_steps.setter
    def end_in_steps(self, value: bool) -> None: ...
    def register_callable(self, name: str, value: CallableGenerator) -> None:
        """Registers the given `CallableGenerator` under the provided name.

        A value that is not a `CallableGenerator` raises an exception. A name is valid in a
        program only when a generator is registered for it, and the generator is invoked whenever
        the name is used as a call.
        """
    def register_property(self, name: str, value: Prop) -> None:
        """Registers the given `Prop` under the provided name.

        A value that is not a `Prop` raises an exception. The name is given without the leading
        dollar sign ($), which the compiler handles itself. A name is valid in a program only when
        a `Prop` is registered for it, whose methods are then used wherever the name is
        referenced.
        """


class Compiler:
    """A compiler for the Zo language.

    The compiler performs syntax checking and name resolution, and stores a text-based
    intermediate representation (IR) that the Zo interpreter executes. A `Compiler`
    converts directly to an `Interpreter` with `into_interpreter`, or to raw IR with
    `into_raw`. Custom `Callable`s and `Prop`s must be registered with the compiler (the
    `register_*` methods) before a program can use them.
    """

    def __init__(self) -> None: ...
    def compile(self, source: str) -> bool:
        """Compiles the provided program, storing the results internally, returning `True` if the
        program was compiled successfully, and False if there was some form of compilation error.

        Each call discards the results of the previous one, program and errors alike. The errors
        are stored and can be shown with `print_errors`; there is at present no way to inspect
        them programmatically.
        """
    def into_raw(self) -> str:
        """Takes the most recent program and converts it to the Zo IR, which is a human-readable text
        format.

        Unlike conversion to an `Interpreter`, this consumes only the program, not the registered
        callables and properties. Raises an exception if the most recent compilation failed.
        """
    def has_program(self) -> bool:
        """Checks if the compiler has been given a program and that it compiled successfully.

        Returns the same result as `compile`.
        """
    def print_errors(self) -> None:
        """Displays any errors that occured during the most recent compilation.

        Nothing is printed when there are no errors.
        """
    def diagnostics(self) -> List[Diagnostic]:
        """The errors of the most recent compilation as data, in the order `print_errors` shows them.

        Each is a dict: `text` (the line `print_errors` writes), `message` (the text without its
        location prefix), `line`, `column`, `end_line` and `end_column` (where the offending token
        is, even where `text` says line 0 or no line; 1-based, columns in code points, the end
        just past the token; None when unknown), and `notes`, a list of `(message, line, column)`
        tuples pointing at related places, such as where an unclosed block opened, or giving
        hints such as "did you mean 'print'?" (line and column None).
        """
    def outline(self, source: str) -> Outline:
        """What the program says about itself, for editors, its names resolved as the compiler
        resolves them against the natives registered now: groups with their parameters, `use`
        declarations, variables with their scopes and places, and call sites with what they call.

        A text with syntax errors is outlined as far as it parsed: the top-level items with
        errors are left out, and `complete` is False. Runs no host code and keeps nothing: the
        last compilation's program and errors stay as they are.
        """
    def into_interpreter(self) -> Interpreter:
        """Effectively consumes the compiler, converting it into an `Interpreter`.

        Raises an exception when no valid program is stored. On success all assets, the
        registered callables and properties included, move to the new interpreter. Since the
        compiler object itself lives on in Python, the call in practice empties it: every callable
        and property must be registered again before the same program can be compiled again.
        """
    @staticmethod
    def check_if_prop(value: object) -> bool:
        """Checks if a value is a subclass of `Prop`.

        This method exists mainly for the implementation's convenience and should be treated as
        deprecated, though it is unlikely ever to be removed.
        """
    @staticmethod
    def check_if_callable(value: object) -> bool:
        """Checks if a value is a subclass of `CallableGenerator`.

        This method exists mainly for the implementation's convenience and should be treated as
        deprecated, though it is unlikely ever to be removed.
        """
    @staticmethod
    def split_ir_words(line: str) -> List[str]:
        """The words of one line of IR text, split as the IR reader splits them: at spaces outside
        double-quoted runs, where a space or quote joined to a combining mark counts as neither.
        Always at least one word.
        """
    def register_callable(self, name: str, value: CallableGenerator) -> None:
        """Registers the given `CallableGenerator` under the provided name.

        A value that is not a `CallableGenerator` raises an exception. A name is valid in a
        program only when a generator is registered for it, and the generator is invoked whenever
        the name is used as a call.
        """
    def register_property(self, name: str, value: Prop) -> None:
        """Registers the given `Prop` under the provided name.

        A value that is not a `Prop` raises an exception. The name is given without the leading
        dollar sign ($), which the compiler handles itself. A name is valid in a program only when
        a `Prop` is registered for it, whose methods are then used wherever the name is
        referenced.
        """


class Arg:
    """A class representing the compile-time concept of an argument.

    It is used only in `CallableGenerator.check_syntax`. An argument is either a value or
    a word. A value stands for a Zo run-time value that cannot be held yet, because Zo
    values do not exist at compile time; it is recognised with `Arg.is_value`. A word is
    anything that is not a value, a variable name or a reserved syntactic element; it is
    known at compile time, and is matched with `Arg.matches_word`, or merely detected
    with `Arg.is_word`.
    """

    def is_value(self) -> bool:
        """Returns whether an Arg represents a value.

        The value itself does not exist yet; what is certain is that it will eventually be
        *some* value.
        """
    def is_word(self) -> bool:
        """Returns whether an Arg represents a word.

        Since words are known at compile time, `Arg.matches_word` is more likely to be useful
        for checks.
        """
    def matches_word(self, s: str) -> bool:
        """Returns whether both an Arg is a word, and that word matches the given string exactly.

        The comparison is a simple byte-wise equality, so diacritics and other non-unique
        Unicode may complicate things.
        """
    def word(self) -> Optional[str]:
        """Returns the text of a word, or `None` for a value.

        The text is exactly as written in the source, so a check can name what it got:
        "expected 'open' or 'close', got 'opne'".
        """


class Callable:
    """A superclass required for defining an Zo-compatible native callable.

    This class is virtual(-ish), with no valid implementation. Its subclasses
    should never need to be instantiated directly: a `CallableGenerator` should
    create them instead. A class may be a subclass of both `Callable` and
    `CallableGenerator`, which is perfectly valid.
    """

    # A subclass may define `result(self)`, which the base class does not: when
    # the call is used as a value (`$t = measure "t1";`), it is asked once, after
    # `call` has reported completion, and its return converts as a `Prop.get`
    # result does (with the same errors). A call statement never asks it.
    # Without it the value is None (nil).

    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def call(self) -> Optional[bool]:
        """Called by the Zo runtime any time a native call associated with this type is active.

        Returning `True` means the call is complete. Returning `False` makes the Zo interpreter
        yield and call this method again when execution resumes. `None` is also valid and
        counts as `True`.
        """
    def terminate(self) -> None:
        """Called by the Zo runtime whenever a native call associated with this type is to be ended
        early.

        This happens when a race group containing native calls ends, or when the Zo interpreter
        itself is ended early. It is **not** called on a Zo run-time error: cleanup after one
        must be done outside the interpreter.
        """


class CallableGenerator:
    """A superclass required for defining an Zo-compatible native callable.

    This class is virtual(-ish), with no valid implementation. Its purpose is to generate
    a new `Callable` whenever Zo needs to execute a new native call: each time the call is
    reached, but not for each iteration of that call, because parallel groups can run
    several instances of one callable at once, even for the same instruction. A generator
    may return a singleton-style `Callable`; this is discouraged, as it may cause problems
    with parallelism when the call is non-trivial.
    """

    # A subclass may set the class attribute `words_at_run_time = True`, read once
    # when the generator is registered: its calls then pass every argument to
    # `generate` in source order, each word as a str, so that one native can
    # serve `valve open;` and `valve close;`. `check_syntax` is called as before.

    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def generate(self, args: List[Value]) -> Callable:
        """Called by the Zo runtime when it encounters a native call associated with this type.

        It generates a new `Callable` from the arguments passed from Zo. Most generators pass
        them straight to the constructor of their `Callable`, but a generator may insert
        arguments (a form of dependency injection), filter them out, or dispatch to different
        kinds of `Callable`. Unlike in `check_syntax`, the arguments are actual values, and only
        values: the compiler filters out the words.
        """
    def check_syntax(self, args: List[Arg]) -> None:
        """Called by the Zo compiler to check if a call's syntax is considrered valid.

        The syntax is valid when no exception is raised, so Python's `assert` serves to check
        the types and count of the arguments (see `Arg`). Values do not exist yet at this point,
        only the fact that a value stands in a position. Words exist only at compile time, so
        their text is available and can be tested or switched upon to give a form of
        overloading (making that work at run time is left to the host).
        """


class Prop:
    """A superclass required for defining an Zo property.

    This class is virtual(-ish), with no valid implementation. A property is treated like
    a variable by the Zo runtime, except that reading and writing it call the `get` and
    `set` methods. Being settable is optional, since assigning to a source such as a
    sensor does not always make sense: a property is by default not settable, as decided
    by the `is_settable` method, which a subclass overrides to change it. A property that
    is not settable needs no `set` method, since the compiler checks settability and the
    interpreter validates IR before running it. Unlike `Callable`s, accessing a property
    never makes the Zo runtime yield.
    """

    def __init__(self, *args: object, **kwargs: object) -> None: ...
    def get(self) -> Union[int, float, str, bool, None]:
        """Retrieves a value from the property.

        The only allowed result types are `int`, `float`, `str`, `bool` and `None`; anything
        else causes a run-time error. This method should never be called directly, its return
        value being opaque to Python.
        """
    def set(self, value: Value) -> None:
        """Sets the value of the property, for some definition of "set".

        Setting a value does not imply that a later `get` returns it. This method is needed only
        if programs assign the property: nothing in the syntax prevents an assignment, but
        assigning a property that is not settable is reported as an error at compile time and at
        run time. It should never be called directly, since the required value cannot be made
        in Python.
        """
    def is_settable(self) -> bool:
        """Returns whether the property is settable.

        A property that is not settable need not implement `set`, which can then never be
        called.
        """
