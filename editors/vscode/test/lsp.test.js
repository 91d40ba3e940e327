// `zo lsp` under a real LSP client: vscode-languageserver-protocol over
// vscode-jsonrpc, as VS Code's language client drives it. The server runs
// from this checkout with the release build's extension, under ZO_PYTHON
// (default pypy3), in a workspace whose zo.toml names a host file.
"use strict";
const test = require("node:test");
const assert = require("node:assert");
const childProcess = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const url = require("node:url");
const rpc = require("vscode-jsonrpc/node");
const lsp = require("vscode-languageserver-protocol");

const ROOT = path.resolve(__dirname, "..", "..", "..");
const BINDING = process.env.ZO_BINDING || path.join(ROOT, "build", "release", "binding", "python");

const HOST = `import zolangpy

class Done(zolangpy.Callable):
    def call(self):
        return True

class Drive(zolangpy.CallableGenerator):
    """\`\`drive DISTANCE;\`\` drives the rover DISTANCE metres."""
    def check_syntax(self, args):
        pass
    def generate(self, args):
        return Done()

class Speed(zolangpy.Prop):
    """Top speed, in metres per second."""
    def get(self):
        return 1.0
    def set(self, value):
        pass
    def is_settable(self):
        return True

def register(host):
    host.callable("drive", Drive())
    host.property("speed", Speed())
`;

function start(workspace) {
  const server = childProcess.spawn(process.env.ZO_PYTHON || "pypy3", ["-m", "zo", "lsp", "--stdio"], {
    cwd: workspace,
    env: { ...process.env, PYTHONPATH: [path.join(ROOT, "python"), BINDING].join(path.delimiter) },
    stdio: ["pipe", "pipe", "inherit"],
  });
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(server.stdout), new rpc.StreamMessageWriter(server.stdin));
  const published = [];
  let waiting = null;
  connection.onNotification(lsp.PublishDiagnosticsNotification.type, (params) => {
    published.push(params);
    if (waiting) waiting();
  });
  const messages = [];
  connection.onNotification(lsp.ShowMessageNotification.type, (params) => messages.push(params));
  connection.listen();
  // The diagnostics of the given version of a document, as the next
  // publication for it brings them.
  async function diagnostics(uri, version) {
    const deadline = Date.now() + 20000;
    for (;;) {
      const found = published.find((p) => p.uri === uri && p.version === version);
      if (found) return found.diagnostics;
      assert.ok(Date.now() < deadline, `no diagnostics for version ${version}`);
      await new Promise((resolve) => { waiting = resolve; setTimeout(resolve, 200); });
    }
  }
  return { server, connection, diagnostics, messages };
}

test("zo lsp under vscode-languageserver-protocol", async (t) => {
  const workspace = fs.mkdtempSync(path.join(os.tmpdir(), "zo-lsp-"));
  fs.writeFileSync(path.join(workspace, "zo.toml"), 'host = "natives.py"\n');
  fs.writeFileSync(path.join(workspace, "natives.py"), HOST);
  const { server, connection, diagnostics, messages } = start(workspace);
  const exited = new Promise((resolve) => server.on("exit", resolve));
  t.after(() => server.kill());  // a failed assertion leaves it running
  const uri = url.pathToFileURL(path.join(workspace, "mission.zo")).href;
  const document = { uri };

  const init = await connection.sendRequest(lsp.InitializeRequest.type, {
    processId: process.pid, rootUri: url.pathToFileURL(workspace).href, capabilities: {},
    workspaceFolders: null,
  });
  assert.strictEqual(init.capabilities.textDocumentSync.change, lsp.TextDocumentSyncKind.Incremental);
  assert.ok(init.capabilities.hoverProvider);
  await connection.sendNotification(lsp.InitializedNotification.type, {});

  // A typo in a native of the host, and a group called with the wrong word.
  const text = "group move $d metres { drive $d; }\nuse $speed;\n$speed = 2;\ndirve 10;\nmove 3 feet;\n";
  await connection.sendNotification(lsp.DidOpenTextDocumentNotification.type, {
    textDocument: { uri, languageId: "zo", version: 1, text },
  });
  let found = await diagnostics(uri, 1);
  assert.deepStrictEqual(found.map((d) => [d.range, d.message]), [
    [{ start: { line: 3, character: 0 }, end: { line: 3, character: 5 } },
      "No callable named 'dirve' was registered\ndid you mean 'drive'?"],
    [{ start: { line: 4, character: 0 }, end: { line: 4, character: 11 } },
      "Argument at position 1 should be 'metres'"],
  ]);
  assert.deepStrictEqual(found[1].relatedInformation, [{
    location: { uri, range: { start: { line: 0, character: 6 }, end: { line: 0, character: 7 } } },
    message: "'move' is defined here",
  }]);

  const actions = await connection.sendRequest(lsp.CodeActionRequest.type, {
    textDocument: document, range: found[0].range, context: { diagnostics: [found[0]] },
  });
  assert.deepStrictEqual(actions.map((a) => [a.title, a.kind, a.edit.changes[uri]]), [
    ["Change to 'drive'", "quickfix", [{ range: found[0].range, newText: "drive" }]],
  ]);

  // Both fixed by incremental changes, in one notification.
  await connection.sendNotification(lsp.DidChangeTextDocumentNotification.type, {
    textDocument: { uri, version: 2 },
    contentChanges: [
      { range: { start: { line: 3, character: 0 }, end: { line: 3, character: 5 } }, text: "drive" },
      { range: { start: { line: 4, character: 7 }, end: { line: 4, character: 11 } }, text: "metres" },
    ],
  });
  assert.deepStrictEqual(await diagnostics(uri, 2), []);

  const labels = async (line, character) => (await connection.sendRequest(lsp.CompletionRequest.type, {
    textDocument: document, position: { line, character },
  })).items.map((item) => item.label);
  const words = await labels(3, 2);
  for (const label of ["drive", "print", "wait", "while", "race", "return"]) {
    assert.ok(words.includes(label), `${label} in ${words}`);
  }
  assert.deepStrictEqual((await labels(2, 3)).sort(), ["$speed", "$time"]);

  const hover = await connection.sendRequest(lsp.HoverRequest.type, {
    textDocument: document, position: { line: 3, character: 3 },
  });
  assert.strictEqual(hover.contents.value, "**drive** — command\n\n``drive DISTANCE;`` drives the rover DISTANCE metres.");
  const property = await connection.sendRequest(lsp.HoverRequest.type, {
    textDocument: document, position: { line: 1, character: 6 },
  });
  assert.strictEqual(property.contents.value, "**$speed** — property, settable\n\nTop speed, in metres per second.");

  // The file's own names: the group called on line 4 is defined on line 0,
  // and renaming its parameter renames its every place.
  const at = (line, character) => ({ textDocument: document, position: { line, character } });
  const definition = await connection.sendRequest(lsp.DefinitionRequest.type, at(4, 1));
  assert.deepStrictEqual(definition, { uri, range: { start: { line: 0, character: 6 }, end: { line: 0, character: 10 } } });
  const rename = await connection.sendRequest(lsp.RenameRequest.type, { ...at(0, 30), newName: "distance" });
  assert.deepStrictEqual(rename.changes[uri].map((edit) => [edit.range.start.character, edit.range.end.character, edit.newText]),
    [[11, 13, "$distance"], [29, 31, "$distance"]]);

  // The host file changes: the next compilation knows its new native, and
  // a host that raises is reported, the standard natives serving meanwhile.
  fs.writeFileSync(path.join(workspace, "natives.py"),
    HOST + '    host.callable("turn", Drive())\n');
  await connection.sendNotification(lsp.DidChangeTextDocumentNotification.type, {
    textDocument: { uri, version: 3 }, contentChanges: [{ text: "turn 90;\n" }],
  });
  assert.deepStrictEqual(await diagnostics(uri, 3), []);
  fs.writeFileSync(path.join(workspace, "natives.py"), "raise ValueError('no rover attached')\n");
  await connection.sendNotification(lsp.DidChangeTextDocumentNotification.type, {
    textDocument: { uri, version: 4 }, contentChanges: [{ text: "print 1;\nturn 90;\n" }],
  });
  found = await diagnostics(uri, 4);
  assert.deepStrictEqual(found.map((d) => [d.range.start.line, d.message.split("\n")[0]]),
    [[1, "No callable named 'turn' was registered"]]);
  assert.match(messages.at(-1).message, /cannot load host .*natives\.py \(line 1\): ValueError\('no rover attached'\)/);

  assert.strictEqual(await connection.sendRequest(lsp.ShutdownRequest.type), null);
  await connection.sendNotification(lsp.ExitNotification.type);
  assert.strictEqual(await exited, 0);
  connection.dispose();
  fs.rmSync(workspace, { recursive: true });
});
