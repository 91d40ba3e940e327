"""The recorded stand-ins of a host's natives and properties: each passes
every question on to the host's own object and tells the Recorder what was
asked and answered. They run in every step of a recorded run, so they keep
to the fewest calls that can tell it."""

import zolangpy


def failure_text(error):
    # The interpreter reports a native's exception by its repr, so the record
    # keeps exactly that and a replay raises an error that shows the same.
    return repr(error)


class RecordedGenerator(zolangpy.CallableGenerator):
    def __init__(self, recorder, name, inner):
        self.recorder = recorder
        self.name = name
        self.inner = inner
        self.shapes = recorder.shapes[name]

    def check_syntax(self, args):
        try:
            checked = self.inner.check_syntax(args)
        except Exception as error:
            self.recorder.refused.append((self.name, failure_text(error)))
            raise
        # What the call site looks like: its words, None for each value.
        self.shapes[tuple(arg.word() for arg in args)] = None
        return checked

    def generate(self, args):
        recorder = self.recorder
        interpreter = recorder.interpreter
        site = interpreter.call_site() if interpreter is not None else None
        if site is None:
            line = column = context = None
        else:
            line, column, context = site.get("line"), site.get("column"), site.get("context")
            if context is not None and context not in recorder.contexts:
                recorder.meet_context(site)
        asked = list(args)  # as asked, whatever the host does with the list
        try:
            made = self.inner.generate(args)
        except Exception as error:
            recorder.events.append(("fail", None, self.name, failure_text(error), line, column,
                                    "generate"))
            raise
        if not isinstance(made, zolangpy.Callable):
            return made  # the interpreter reports it as not a valid Callable
        call = recorder.next_call
        recorder.next_call = call + 1
        recorder.events.append(("gen", call, self.name, asked, line, column, context,
                                recorder.branch_of(context)))
        return RecordedCall(recorder, call, self.name, made, line, column)


class RecordedGeneratorWords(RecordedGenerator):
    words_at_run_time = True


class RecordedCall(zolangpy.Callable):
    def __init__(self, recorder, call, name, inner, line, column):
        self.recorder = recorder
        self.call_id = call
        self.name = name
        self.inner = inner
        self.line = line
        self.column = column

    def call(self):
        try:
            answer = self.inner.call()
        except Exception as error:
            self._failed(error, "call")
            raise
        if answer is False:
            self.recorder.pending.append(self.call_id)
        else:
            self.recorder.events.append(("done", self.call_id))
        return answer

    def _failed(self, error, where):
        self.recorder.events.append(("fail", self.call_id, self.name,
                                     failure_text(error), self.line, self.column, where))

    def terminate(self):
        self.recorder.events.append(("term", self.call_id))
        try:
            return self.inner.terminate()
        except Exception as error:
            self._failed(error, "terminate")
            raise

    def result(self):
        ask = getattr(self.inner, "result", None)
        try:
            value = ask() if ask is not None else None
        except Exception as error:
            self._failed(error, "result")
            raise
        self.recorder.events.append(("val", self.call_id, value))
        return value


class RecordedProp(zolangpy.Prop):
    def __init__(self, recorder, name, inner):
        self.recorder = recorder
        self.name = name
        self.inner = inner

    def get(self):
        try:
            value = self.inner.get()
        except Exception as error:
            self.recorder.events.append(("fail", None, "$" + self.name, failure_text(error),
                                         None, None, "get"))
            raise
        self.recorder.events.append(("get", self.name, value))
        return value

    def set(self, value):
        self.recorder.events.append(("set", self.name, value))
        try:
            return self.inner.set(value)
        except Exception as error:
            self.recorder.events.append(("fail", None, "$" + self.name, failure_text(error),
                                         None, None, "set"))
            raise

    def is_settable(self):
        return self.inner.is_settable()
