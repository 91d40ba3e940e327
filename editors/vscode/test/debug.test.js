// `zo debug` under @vscode/debugadapter-testsupport's DebugClient, the client
// VS Code's own debug adapters are tested with. The adapter runs from this
// checkout's `zo` script (the release build's extension, under ZO_PYTHON,
// default pypy3), with a host whose own asyncio task counts ticks.
"use strict";
const test = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { DebugClient } = require("@vscode/debugadapter-testsupport");

const ROOT = path.resolve(__dirname, "..", "..", "..");

const HOST = `import asyncio

tasks = []
ticks = [0]


async def count():
    while True:
        ticks[0] += 1
        await asyncio.sleep(0.005)


def register(host):
    @host.command("start watchdog")
    def start():
        tasks.append(asyncio.get_running_loop().create_task(count()))

    @host.command("settle")
    async def settle():
        await asyncio.sleep(0.01)

    @host.prop("ticks")
    def read_ticks():
        return ticks[0]
`;

// Line numbers matter: the breakpoint is on line 2, in scan, which runs as
// the second branch of the parallel block.
const PROGRAM = `group scan $n {
    $seen = $n * 2;
    print "scanned" $seen;
}
group __end {
    print "end ran";
}
start watchdog;
use $ticks;
$started = $ticks;
parallel {
    settle;
    scan 3;
}
print "done";
`;

function workspace(program) {
  const folder = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), "zo-debug-")));
  fs.writeFileSync(path.join(folder, "natives.py"), HOST);
  fs.writeFileSync(path.join(folder, "mission.zo"), program);
  return { folder, program: path.join(folder, "mission.zo") };
}

async function client(t, folder) {
  const env = { ...process.env };
  delete env.LD_PRELOAD;  // the sanitized build's runtimes are not for Python children
  const dc = new DebugClient(path.join(ROOT, "zo"), "debug", "zo", { cwd: folder, env });
  dc.defaultTimeout = 20000;  // a loaded machine starts PyPy slowly
  const output = [];
  dc.on("output", (event) => {
    if (event.body.category === "stdout") output.push(event.body.output);
  });
  await dc.start();
  t.after(() => dc.stop());
  return { dc, output };
}

async function variables(dc, frameId) {
  const { body: { scopes } } = await dc.scopesRequest({ frameId });
  assert.deepStrictEqual(scopes.map((s) => [s.name, s.expensive]),
    [["Locals", false], ["Properties", true]]);
  const { body } = await dc.variablesRequest({ variablesReference: scopes[0].variablesReference });
  return body.variables.map((v) => [v.name, v.value]);
}

test("a breakpoint in a parallel branch, its variables, a step and the run to its end",
  async (t) => {
    const { folder, program } = workspace(PROGRAM);
    const { dc, output } = await client(t, folder);
    const [, , trace] = await dc.hitBreakpoint(
      { program: "mission.zo", host: "natives.py", cwd: folder }, { path: program, line: 2 });
    assert.deepStrictEqual(trace.body.stackFrames.map((f) => [f.name, f.line]), [["scan", 2]]);

    const { body: { threads } } = await dc.threadsRequest();
    const names = threads.map((thread) => thread.name);
    assert.deepStrictEqual(names.slice(0, 1), ["main"]);
    assert.ok(names.includes("scan (branch 2)"), names.join(", "));
    const threadId = threads[names.indexOf("scan (branch 2)")].id;
    const frame = trace.body.stackFrames[0];
    assert.deepStrictEqual(await variables(dc, frame.id), [["$n", "3"]]);

    // The script waits at the breakpoint; the host's own loop goes on.
    const ticks = async () => Number((await dc.evaluateRequest({ expression: "$ticks" })).body.result);
    const before = await ticks();
    await new Promise((resolve) => setTimeout(resolve, 300));
    assert.ok(await ticks() > before, "the host's task stopped counting");

    const [stepped] = await Promise.all([
      dc.assertStoppedLocation("step", { path: program, line: 3 }),
      dc.nextRequest({ threadId }),
    ]);
    const { body: result } = await dc.evaluateRequest({
      expression: "seen", frameId: stepped.body.stackFrames[0].id, context: "hover" });
    assert.strictEqual(result.result, "6");

    const [exited] = await Promise.all([
      dc.waitForEvent("exited"), dc.waitForEvent("terminated"), dc.continueRequest({ threadId }),
    ]);
    assert.strictEqual(exited.body.exitCode, 0);
    assert.deepStrictEqual(output, ["scanned 6\n", "done\n", "end ran\n"]);
  });

test("terminate stops a running program so that __end runs", async (t) => {
  const { folder } = workspace(PROGRAM.replace('print "done";\n',
    'print "waiting";\nwhile true {\n    wait 20 milliseconds;\n}\n'));
  const { dc, output } = await client(t, folder);
  await Promise.all([
    dc.configurationSequence(),
    dc.launch({ program: "mission.zo", host: "natives.py", cwd: folder }),
    dc.assertOutput("stdout", "scanned 6\nwaiting\n"),
  ]);
  await Promise.all([
    dc.waitForEvent("terminated"), dc.assertOutput("stdout", "end ran\n"), dc.terminateRequest(),
  ]);
  assert.deepStrictEqual(output.slice(-1), ["end ran\n"]);
});
