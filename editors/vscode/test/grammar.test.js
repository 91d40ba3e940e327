// The grammars, run by the engine VS Code itself uses (vscode-textmate over
// vscode-oniguruma), over a corpus with every kind of token. Each case lists
// pieces of its source in order with the scope (or scopes) every character of
// the piece must carry ("!scope": none of them may).
"use strict";
const test = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const path = require("node:path");
const oniguruma = require("vscode-oniguruma");
const textmate = require("vscode-textmate");

const SYNTAXES = path.join(__dirname, "..", "syntaxes");

async function loadRegistry() {
  const wasm = fs.readFileSync(require.resolve("vscode-oniguruma/release/onig.wasm"));
  await oniguruma.loadWASM(wasm.buffer.slice(wasm.byteOffset, wasm.byteOffset + wasm.byteLength));
  const files = { "source.zo": "zo.tmLanguage.json", "source.zir": "zir.tmLanguage.json" };
  return new textmate.Registry({
    onigLib: Promise.resolve({
      createOnigScanner: (patterns) => new oniguruma.OnigScanner(patterns),
      createOnigString: (text) => new oniguruma.OnigString(text),
    }),
    loadGrammar: async (scope) => {
      const file = path.join(SYNTAXES, files[scope]);
      return textmate.parseRawGrammar(fs.readFileSync(file, "utf8"), file);
    },
  });
}

// The scopes of every character of `source`, as one array per character
// (line feeds get none).
function scopesPerChar(grammar, source) {
  const perChar = [];
  let state = textmate.INITIAL;
  for (const line of source.split("\n")) {
    const result = grammar.tokenizeLine(line, state);
    for (const token of result.tokens) {
      for (let i = token.startIndex; i < Math.min(token.endIndex, line.length); i++) {
        perChar.push(token.scopes);
      }
    }
    perChar.push([]);
    state = result.ruleStack;
  }
  return perChar;
}

function check(grammar, source, expectations) {
  const perChar = scopesPerChar(grammar, source);
  let from = 0;
  for (const [piece, scopes] of expectations) {
    const at = source.indexOf(piece, from);
    assert.notStrictEqual(at, -1, `${JSON.stringify(piece)} not found in ${JSON.stringify(source)}`);
    for (const expected of [].concat(scopes)) {
      const negated = expected.startsWith("!");
      const scope = negated ? expected.slice(1) : expected;
      for (let i = at; i < at + piece.length; i++) {
        if (source[i] === "\n") continue;
        assert.strictEqual(perChar[i].includes(scope), !negated,
          `${JSON.stringify(piece)} at ${at} in ${JSON.stringify(source)}: character ${i} ` +
          `has [${perChar[i].join(", ")}], ${negated ? "not " : ""}${scope} expected`);
      }
    }
    from = at + piece.length;
  }
}

const ZO = [
  ["keywords", "if $a and not $b { yield; } else { break; }", [
    ["if", "keyword.control.zo"], ["$a", "variable.other.zo"], ["and", "keyword.operator.logical.zo"],
    ["not", "keyword.operator.logical.zo"], ["{", "punctuation.section.block.begin.zo"],
    ["yield", "keyword.control.zo"], [";", "punctuation.terminator.statement.zo"],
    ["}", "punctuation.section.block.end.zo"], ["else", "keyword.control.zo"], ["break", "keyword.control.zo"]]],
  ["every other keyword", "unless $x xor true { } until false or nil { return; } while sequence deadline", [
    ["unless", "keyword.control.zo"], ["xor", "keyword.operator.logical.zo"], ["true", "constant.language.zo"],
    ["until", "keyword.control.zo"], ["false", "constant.language.zo"], ["or", "keyword.operator.logical.zo"],
    ["nil", "constant.language.zo"], ["return", "keyword.control.zo"], ["while", "keyword.control.zo"],
    ["sequence", "keyword.other.reserved.zo"], ["deadline", "keyword.other.reserved.zo"]]],
  ["keywords are case-sensitive and whole", "If;\nifs;\nand.x;", [
    ["If", "entity.name.function.call.zo"], ["ifs", "entity.name.function.call.zo"],
    ["and.x", ["entity.name.function.call.zo", "!keyword.operator.logical.zo"]]]],
  ["names", "$speed = $größe + $1st + $a.b + $;", [
    ["$speed", "variable.other.zo"], ["=", "keyword.operator.assignment.zo"], ["$größe", "variable.other.zo"],
    ["$1st", "variable.other.zo"], ["$a", "variable.other.zo"], [".b", "!variable.other.zo"],
    ["$", "variable.other.zo"]]],
  ["strings have no escapes", `print "a\\" 'b"c' "#no comment";`, [
    ['"a\\"', "string.quoted.double.zo"], ["'b\"c'", "string.quoted.single.zo"],
    ['"#no comment"', ["string.quoted.double.zo", "!comment.line.number-sign.zo"]],
    [";", "punctuation.terminator.statement.zo"]]],
  ["a string spans lines", "print 'one\ntwo' 3;", [
    ["'one\ntwo'", "string.quoted.single.zo"], ["3", "constant.numeric.zo"]]],
  ["numbers", "print 42 2.50 1. -3 5-3 007 .5 1.2.3;", [
    ["42", "constant.numeric.zo"], ["2.50", "constant.numeric.zo"], ["1.", "constant.numeric.zo"],
    ["-3", "constant.numeric.zo"], ["5", "constant.numeric.zo"], ["-3", "constant.numeric.zo"],
    ["007", "constant.numeric.zo"], [".5", "constant.other.word.zo"], ["1.2", "constant.numeric.zo"],
    [".3", "constant.other.word.zo"]]],
  ["comments", "# a whole line\nprint 1; # after code, 'quotes' \"too\"\n$x = 2;", [
    ["#", "punctuation.definition.comment.zo"], [" a whole line", "comment.line.number-sign.zo"],
    ["print", "entity.name.function.call.zo"], ["# after code, 'quotes' \"too\"", "comment.line.number-sign.zo"],
    ["$x", ["variable.other.zo", "!comment.line.number-sign.zo"]]]],
  ["operators", "$x = (1 + 2) * 3 / 4 % 5 ^ 6 - |$y| == 1 != 2 < 3 <= 4 > 5 >= 6;", [
    ["(", "punctuation.section.parens.begin.zo"], ["+", "keyword.operator.arithmetic.zo"],
    [")", "punctuation.section.parens.end.zo"], ["*", "keyword.operator.arithmetic.zo"],
    ["/", "keyword.operator.arithmetic.zo"], ["%", "keyword.operator.arithmetic.zo"],
    ["^", "keyword.operator.arithmetic.zo"], ["-", "keyword.operator.arithmetic.zo"],
    ["|", "keyword.operator.absolute.zo"], ["$y", "variable.other.zo"], ["|", "keyword.operator.absolute.zo"],
    ["==", "keyword.operator.comparison.zo"], ["!=", "keyword.operator.comparison.zo"],
    ["<", "keyword.operator.comparison.zo"], ["<=", "keyword.operator.comparison.zo"],
    [">", "keyword.operator.comparison.zo"], [">=", "keyword.operator.comparison.zo"]]],
  ["compound assignments", "$a += 1; $b -= 1; $c *= 2; $d /= 2; $e %= 2; $f ^= 2;", [
    ["+=", "keyword.operator.assignment.zo"], ["-=", "keyword.operator.assignment.zo"],
    ["*=", "keyword.operator.assignment.zo"], ["/=", "keyword.operator.assignment.zo"],
    ["%=", "keyword.operator.assignment.zo"], ["^=", "keyword.operator.assignment.zo"]]],
  ["group definitions", "group move $distance metres {\n    print $distance;\n}\nmove 3 metres;", [
    ["group", "storage.type.group.zo"], ["move", "entity.name.function.definition.zo"],
    ["$distance", "variable.parameter.zo"], ["metres", "constant.other.word.zo"],
    ["{", "punctuation.section.block.begin.zo"], ["print", "entity.name.function.call.zo"],
    ["$distance", "variable.other.zo"], ["}", "punctuation.section.block.end.zo"],
    ["move", "entity.name.function.call.zo"], ["3", "constant.numeric.zo"], ["metres", "constant.other.word.zo"]]],
  ["calls and words", "drive 10 forward a.b,c !x größe;\nparallel { wait 1 seconds; spin; }", [
    ["drive", "entity.name.function.call.zo"], ["10", "constant.numeric.zo"],
    ["forward", "constant.other.word.zo"], ["a.b,c", "constant.other.word.zo"],
    ["!x", "constant.other.word.zo"], ["größe", "constant.other.word.zo"],
    ["parallel", "keyword.control.zo"], ["wait", "entity.name.function.call.zo"],
    ["seconds", "constant.other.word.zo"], ["spin", "entity.name.function.call.zo"]]],
  ["use", "use $time;\nprint $time;", [
    ["use", "keyword.other.use.zo"], ["$time", "variable.other.property.zo"],
    ["print", "entity.name.function.call.zo"], ["$time", "variable.other.zo"]]],
  ["call values, return EXPR and race values", "group f $n { return $n * 2; }\n$x = measure 3 volts;\n" +
    "$y += f 1;\n$i = race {\n    wait 1 seconds;\n    spin;\n};\n$z = 1;", [
    ["return", "keyword.control.zo"], ["$n", "variable.other.zo"], ["$x", "variable.other.zo"],
    ["measure", "entity.name.function.call.zo"], ["volts", "constant.other.word.zo"],
    ["f", "entity.name.function.call.zo"], ["$i", "variable.other.zo"], ["race", "keyword.control.zo"],
    ["wait", "entity.name.function.call.zo"], ["seconds", "constant.other.word.zo"],
    ["spin", "entity.name.function.call.zo"], ["};", "!entity.name.function.call.zo"],
    ["$z", "variable.other.zo"], ["1", "constant.numeric.zo"]]],
  ["a missing semicolon does not swallow the block", "while $i < 3 {\n    tick\n}\nprint 1;", [
    ["tick", "entity.name.function.call.zo"], ["}", "punctuation.section.block.end.zo"],
    ["print", "entity.name.function.call.zo"]]],
];

const ZIR = [
  ["labels and control", "jump 4\nmove:\nload 0\njump_unless -3\njump_if +2\nreturn\n__end:\nyield", [
    ["jump", "keyword.control.zir"], ["4", "constant.numeric.zir"], ["move", "entity.name.function.label.zir"],
    [":", "punctuation.separator.label.zir"], ["load", "keyword.other.zir"], ["0", "constant.numeric.zir"],
    ["jump_unless", "keyword.control.zir"], ["-3", "constant.numeric.zir"], ["jump_if", "keyword.control.zir"],
    ["+2", "constant.numeric.zir"], ["return", "keyword.control.zir"],
    ["__end", "entity.name.function.label.zir"], ["yield", "keyword.control.zir"]]],
  ["values", 'push 3\npush -0.5\npush 1e3\npush inf\npush -inf\npush NaN\npush "a b"\npush true\npush nil', [
    ["3", "constant.numeric.zir"], ["-0.5", "constant.numeric.zir"], ["1e3", "constant.numeric.zir"],
    ["inf", "constant.numeric.zir"], ["-inf", "constant.numeric.zir"], ["NaN", "constant.numeric.zir"],
    ['"a b"', "string.quoted.double.zir"], ["true", "constant.language.zir"], ["nil", "constant.language.zir"]]],
  ["a string holding quotes runs to the last one", "push \"say \"hi\" now\"\nadd", [
    ["\"say \"hi\" now\"", "string.quoted.double.zir"], ["add", "keyword.operator.zir"]]],
  ["names of natives", 'get "time"\nset "speed"\ncall "print" 2\ncall_parallel "worker" 2 "idle" 0\ncall_race', [
    ["get", "keyword.other.zir"], ["time", "variable.other.property.zir"], ["set", "keyword.other.zir"],
    ['"speed"', "string.quoted.double.zir"], ["call", "keyword.control.zir"], ["print", "entity.name.function.zir"],
    ["2", "constant.numeric.zir"], ["call_parallel", "keyword.control.zir"], ["worker", "entity.name.function.zir"],
    ["2", "constant.numeric.zir"], ['"idle"', "string.quoted.double.zir"], ["0", "constant.numeric.zir"],
    ["call_race", "keyword.control.zir"]]],
  ["operators without operands", "pop\ndup\nadd\nsub\nmul\ndiv\nmod\nexp\nneg\nabs\nand\nor\nnot\nxor\neq\nne\nlt\nle\ngt\nge\nstore 1", [
    ...["pop", "dup", "add", "sub", "mul", "div", "mod", "exp", "neg", "abs", "and", "or", "not", "xor",
      "eq", "ne", "lt", "le", "gt", "ge"].map((m) => [m, "keyword.operator.zir"]),
    ["store", "keyword.other.zir"], ["1", "constant.numeric.zir"]]],
  ["what does not read is marked", "ADD\nhello\n# no comments in IR\n pop", [
    ["ADD", "invalid.illegal.zir"], ["hello", "invalid.illegal.zir"], ["#", "invalid.illegal.zir"],
    ["pop", "!keyword.operator.zir"]]],
];

test("grammars", async (t) => {
  const registry = await loadRegistry();
  for (const [scope, corpus] of [["source.zo", ZO], ["source.zir", ZIR]]) {
    const grammar = await registry.loadGrammar(scope);
    for (const [name, source, expectations] of corpus) {
      await t.test(`${scope}: ${name}`, () => check(grammar, source, expectations));
    }
  }
});
