// Starts `zo lsp` for Zo source and IR files, and `zo debug` for the debugger.
// The servers do the work; this only tells them where to find the host's
// natives, and restarts the language server when the settings that start it
// change.
"use strict";
const vscode = require("vscode");
const { LanguageClient } = require("vscode-languageclient/node");

let client;

function serverOptions(settings, subcommand = "lsp") {
  const [command, ...args] = settings.get("command", ["zo"]);
  return { command: command || "zo", args: [...args, subcommand] };
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

// `zo debug`, started as the language server is, for each debugging session.
const adapterFactory = {
  createDebugAdapterDescriptor(session) {
    const settings = vscode.workspace.getConfiguration("zo", session.workspaceFolder?.uri);
    const { command, args } = serverOptions(settings, "debug");
    return new vscode.DebugAdapterExecutable(command, args);
  },
};

// F5 without a launch.json runs the file in the editor; the host and the
// standard natives come from the settings unless the configuration says.
const configurationProvider = {
  resolveDebugConfiguration(folder, config) {
    if (!config.type && !config.request && !config.name) {
      const editor = vscode.window.activeTextEditor;
      if (!editor || !["zo", "zo-ir"].includes(editor.document.languageId)) return config;
      Object.assign(config, { type: "zo", request: "launch", name: "Zo: run this file",
        program: editor.document.fileName });
    }
    const settings = vscode.workspace.getConfiguration("zo", folder?.uri);
    if (!config.cwd && folder) config.cwd = folder.uri.fsPath;
    if (!config.host && settings.get("host", "")) config.host = settings.get("host");
    if (settings.get("standardNatives", true) === false) {
      config.args = [...(config.args || []), "--no-std"];
    }
    return config;
  },
};

async function activate(context) {
  context.subscriptions.push(
    vscode.debug.registerDebugAdapterDescriptorFactory("zo", adapterFactory),
    vscode.debug.registerDebugConfigurationProvider("zo", configurationProvider));
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
