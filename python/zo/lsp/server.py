"""The language server's loop: messages in, answers and notifications out.

One thread reads frames from the client and queues them; the main thread
answers them in order, so that a request always sees every change sent
before it. Diagnostics wait until no message is queued and the document
has been quiet for `debounce` seconds, so a burst of keystrokes compiles
once. Nothing the client or the host sends ends the loop but ``exit`` or
the end of the input: a handler's failure becomes an error answer and a
log message.
"""

import queue
import threading
import time
import traceback
import urllib.parse
import urllib.request

import zo
from zo.lsp import features, navigation, rpc
from zo.lsp.natives import Natives
from zo.lsp.text import Document

DEFAULT_DEBOUNCE = 0.02  # seconds; a change is compiled this long after the last one
DEFAULT_HOST_TIMEOUT = 10.0  # seconds that loading the host file and registering may take
LOG_ERROR, LOG_WARNING, LOG_INFO = 1, 2, 3


class Server:
    def __init__(self, reader, writer):
        self.reader = reader
        self.writer = writer
        self.inbox = queue.Queue()
        self.documents = {}
        self.due = {}  # uri -> when its diagnostics are due (time.monotonic)
        self.fixes = {}  # uri -> [(diagnostic, title, edit)]
        self.natives = Natives()
        self.debounce = DEFAULT_DEBOUNCE
        self.initialized = False
        self.shut_down = False
        self.reported = None  # the last host error shown to the user
        self.writing = threading.Lock()  # the reader thread may log too

    def serve(self):
        """Runs until ``exit`` or the end of the input; the exit status."""
        threading.Thread(target=self._read, name="zo-lsp-reader", daemon=True).start()
        while True:
            try:
                message = self._next()
                if message is None:
                    return 0 if self.shut_down else 1
                if isinstance(message, dict) and message.get("method") == "exit":
                    return 0 if self.shut_down else 1
                self._handle(message)
            except OSError:  # the client closed our output: no one is listening
                return 0 if self.shut_down else 1

    def _read(self):
        while True:
            try:
                message = rpc.read_message(self.reader)
            except Exception as error:  # a stream that fails: treat as its end
                message = None
                self._log(LOG_ERROR, "zo lsp: reading failed: %r" % error)
            self.inbox.put(message)
            if message is None:
                return

    def _next(self):
        """The next message, compiling the documents whose time has come
        while none is queued."""
        while True:
            try:
                return self.inbox.get_nowait()
            except queue.Empty:
                pass
            if not self.due:
                return self.inbox.get()
            uri, when = min(self.due.items(), key=lambda item: item[1])
            wait = when - time.monotonic()
            if wait > 0:
                try:
                    return self.inbox.get(timeout=wait)
                except queue.Empty:
                    continue
            del self.due[uri]
            self._publish(uri)

    # -- dispatch ---------------------------------------------------------

    def _handle(self, message):
        if isinstance(message, rpc.BadMessage):
            self._send({"jsonrpc": "2.0", "id": None,
                        "error": {"code": rpc.PARSE_ERROR, "message": message.reason}})
            return
        method, ident = message.get("method"), message.get("id")
        is_request = "id" in message
        if not isinstance(method, str):
            if is_request and "result" not in message and "error" not in message:
                self._error(ident, rpc.INVALID_REQUEST, "a request needs a method")
            return  # an answer to a request of ours: none is sent that needs one
        params = message.get("params")
        params = params if isinstance(params, dict) else {}
        handler = (REQUESTS if is_request else NOTIFICATIONS).get(method)
        if is_request:
            if not self.initialized and method != "initialize":
                return self._error(ident, rpc.SERVER_NOT_INITIALIZED, "initialize first")
            if self.shut_down:
                return self._error(ident, rpc.INVALID_REQUEST, "the server has shut down")
            if handler is None:
                return self._error(ident, rpc.METHOD_NOT_FOUND, "unknown method %s" % method)
        elif handler is None or not self.initialized:
            return
        try:
            result = handler(self, params)
        except navigation.Refused as error:  # a request the server cannot carry out as asked
            if is_request:
                self._error(ident, rpc.REQUEST_FAILED, str(error))
            return
        except Exception as error:
            self._log(LOG_ERROR, "zo lsp: %s failed:\n%s" % (method, traceback.format_exc()))
            if is_request:
                self._error(ident, rpc.INTERNAL_ERROR, "%s failed: %r" % (method, error))
            return
        if is_request:
            self._send({"jsonrpc": "2.0", "id": ident, "result": result})

    def _send(self, message):
        data = rpc.encode(message)
        with self.writing:
            self.writer.write(data)
            self.writer.flush()

    def _error(self, ident, code, text):
        self._send({"jsonrpc": "2.0", "id": ident, "error": {"code": code, "message": text}})

    def _notify(self, method, params):
        self._send({"jsonrpc": "2.0", "method": method, "params": params})

    def _log(self, kind, text):
        try:
            self._notify("window/logMessage", {"type": kind, "message": text})
        except Exception:
            pass  # the output is gone; the loop ends when the input does

    # -- lifecycle --------------------------------------------------------

    def initialize(self, params):
        options = params.get("initializationOptions")
        options = options if isinstance(options, dict) else {}
        timeout = options.get("hostTimeout")
        timeout = timeout / 1000.0 if isinstance(timeout, (int, float)) and timeout > 0 else DEFAULT_HOST_TIMEOUT
        self.natives = Natives(_root(params), limit=timeout)
        self._configure(options)
        if isinstance(options.get("debounce"), (int, float)):
            self.debounce = max(0.0, options["debounce"] / 1000.0)
        self.initialized = True
        return {
            "capabilities": {
                "positionEncoding": "utf-16",
                "textDocumentSync": {"openClose": True, "change": 2, "save": False},
                "completionProvider": {"triggerCharacters": ["$"]},
                "hoverProvider": True,
                "definitionProvider": True,
                "referencesProvider": True,
                "documentSymbolProvider": True,
                "renameProvider": True,
                "codeActionProvider": {"codeActionKinds": ["quickfix"]},
            },
            "serverInfo": {"name": "zo", "version": zo.__version__},
        }

    def shutdown(self, params):
        self.shut_down = True
        return None

    def _configure(self, settings):
        host = settings.get("host")
        standard = settings.get("standardNatives", True)
        self.natives.configure(host if isinstance(host, str) else None, standard is not False)

    def did_change_configuration(self, params):
        settings = params.get("settings")
        if isinstance(settings, dict) and isinstance(settings.get("zo"), dict):
            self._configure(settings["zo"])
            for uri in self.documents:
                self.due[uri] = time.monotonic()

    # -- documents --------------------------------------------------------

    def did_open(self, params):
        item = params["textDocument"]
        language = item.get("languageId") if item.get("languageId") in ("zo", "zo-ir") else None
        self.documents[item["uri"]] = Document(item["uri"], item.get("text", ""), item.get("version"),
                                               language)
        self.due[item["uri"]] = time.monotonic()

    def did_change(self, params):
        document = self.documents.get(params["textDocument"]["uri"])
        if document is None:
            return
        for change in params.get("contentChanges", []):
            document.apply(change)
        document.version = params["textDocument"].get("version")
        self.due[document.uri] = time.monotonic() + self.debounce

    def did_close(self, params):
        uri = params["textDocument"]["uri"]
        self.documents.pop(uri, None)
        self.due.pop(uri, None)
        self.fixes.pop(uri, None)
        self._notify("textDocument/publishDiagnostics", {"uri": uri, "diagnostics": []})

    def _model(self):
        model, loaded = self.natives.current()
        self._report(model)
        return model

    def _report(self, model):
        if model.error is not None and model.error != self.reported:
            self._notify("window/showMessage", {"type": LOG_ERROR, "message": "zo: " + model.error})
        self.reported = model.error

    def _publish(self, uri):
        document = self.documents.get(uri)
        if document is None:
            return
        try:
            if document.is_ir:
                found, fixes = features.ir_diagnostics(document), []
            else:
                model = self._model()
                found, fixes = features.diagnostics(document, model)
                self._report(model)  # the host's register may fail on any compilation
        except Exception:
            self._log(LOG_ERROR, "zo lsp: diagnostics failed:\n%s" % traceback.format_exc())
            return
        self.fixes[uri] = fixes
        params = {"uri": uri, "diagnostics": found}
        if document.version is not None:
            params["version"] = document.version
        self._notify("textDocument/publishDiagnostics", params)

    # -- features ---------------------------------------------------------

    def _document(self, params):
        document = self.documents.get(params["textDocument"]["uri"])
        if document is None:
            raise LookupError("%s is not open" % params["textDocument"]["uri"])
        return document

    def completion(self, params):
        document = self._document(params)
        if document.is_ir:
            return {"isIncomplete": False, "items": []}
        return {"isIncomplete": False,
                "items": features.completion(document, params["position"], self._model())}

    def hover(self, params):
        document = self._document(params)
        return None if document.is_ir else features.hover(document, params["position"], self._model())

    def _navigate(self, params, answer, empty=None):
        """`answer(document, position, model)` for Zo source; `empty` for IR."""
        document = self._document(params)
        if document.is_ir:
            return empty
        return answer(document, params.get("position", {}), self._model())

    def definition(self, params):
        return self._navigate(params, navigation.definition)

    def references(self, params):
        declaration = params.get("context", {}).get("includeDeclaration", True) is not False
        return self._navigate(params, lambda document, position, model: navigation.references(
            document, position, model, declaration), [])

    def rename(self, params):
        new_name = params.get("newName")
        if not isinstance(new_name, str):
            raise navigation.Refused("newName must be a string")
        return self._navigate(params, lambda document, position, model: navigation.rename(
            document, position, model, new_name))

    def document_symbol(self, params):
        return self._navigate(params, lambda document, position, model: navigation.symbols(
            document, model), [])

    def code_action(self, params):
        uri = params["textDocument"]["uri"]
        wanted = params.get("context", {}).get("diagnostics", [])
        actions = []
        for diagnostic, title, edit in self.fixes.get(uri, []):
            if any(_same(diagnostic, other) for other in wanted):
                actions.append({"title": title, "kind": "quickfix", "diagnostics": [diagnostic],
                                "isPreferred": True, "edit": {"changes": {uri: [edit]}}})
        return actions


def _same(ours, theirs):
    return ours["range"] == theirs.get("range") and ours["message"] == theirs.get("message")


def _root(params):
    """The workspace root folder as a path, or None."""
    folders = params.get("workspaceFolders") or []
    uri = folders[0].get("uri") if folders and isinstance(folders[0], dict) else params.get("rootUri")
    if isinstance(uri, str) and uri.startswith("file:"):
        return urllib.request.url2pathname(urllib.parse.urlparse(uri).path)
    path = params.get("rootPath")
    return path if isinstance(path, str) else None


REQUESTS = {
    "initialize": Server.initialize,
    "shutdown": Server.shutdown,
    "textDocument/completion": Server.completion,
    "textDocument/hover": Server.hover,
    "textDocument/codeAction": Server.code_action,
    "textDocument/definition": Server.definition,
    "textDocument/references": Server.references,
    "textDocument/rename": Server.rename,
    "textDocument/documentSymbol": Server.document_symbol,
}

NOTIFICATIONS = {
    "textDocument/didOpen": Server.did_open,
    "textDocument/didChange": Server.did_change,
    "textDocument/didClose": Server.did_close,
    "workspace/didChangeConfiguration": Server.did_change_configuration,
}
