// Starts `zo lsp` for Zo source and IR files. The server does the work; this only
// tells it where to find the host's natives and restarts it when the
// settings that start it change.
"use strict";
const vscode = require("vscode");
const { LanguageClient } = require("vscode-languageclient/node");

let client;

function serverOptions(settings) {
  const [command, ...args] = settings.get("command", ["zo"]);
  return { command: command || "zo", args: [...args, "lsp"] };
}

function initializationOptions(settings) {
  return { host: settings.get("host", ""), standardNatives: settings.get("standardNatives", true) };
}

async function start() {
  const settings = vscode.workspace.getConfiguration("zo");
  client = new LanguageClient("zo", "Zo", serverOptions(settings), {
    documentSelector: [{ language: "zo" }, { language: "zo-ir" }],
    initializationOptions: initializationOptions(settings),
    synchronize: { configurationSection: "zo" },
  });
  await client.start();
}

async function activate(context) {
  context.subscriptions.push(vscode.workspace.onDidChangeConfiguration(async (event) => {
    if (event.affectsConfiguration("zo.command")) {
      await client?.stop();
      await start();
    }
  }));
  await start();
}

function deactivate() {
  return client?.stop();
}

module.exports = { activate, deactivate };
