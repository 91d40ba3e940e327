"""The host's model: every native it offers, as data for editors and as
Markdown for people (``zo natives``). The JSON's shape is documented in
docs/embedding.md; `MODEL_VERSION` changes when it does."""

import json

from zo.kit import Command, Property
from zo.signature import Optional_, Rest, Value, Word

MODEL_VERSION = 1


def model(host):
    commands, properties, natives = [], [], []
    for name, generator in host.callables.items():
        if isinstance(generator, Command):
            commands.append(_command(generator, name in host.standard))
        else:
            natives.append({"name": name, "kind": "callable", "doc": _doc(generator)})
    for name, prop in host.properties.items():
        standard = "$" + name in host.standard
        if isinstance(prop, Property):
            properties.append({"name": name, "settable": prop.is_settable(),
                               "type": prop.type_name, "doc": prop.doc, "standard": standard})
        else:
            natives.append({"name": name, "kind": "property", "doc": _doc(prop),
                            "settable": bool(prop.is_settable())})
    return {"version": MODEL_VERSION, "commands": commands, "properties": properties,
            "natives": natives}


def _doc(value):
    doc = type(value).__doc__ or ""
    return "\n".join(line.strip() for line in doc.strip().splitlines())


def _command(command, standard):
    signature = command.signature
    values = []
    for part, optional in _placed(signature.parts, False):
        if isinstance(part, (Value, Rest)):
            values.append({"name": part.name, "parameter": part.parameter,
                           "type": command.types.get(part.parameter),
                           "optional": optional, "variadic": isinstance(part, Rest)})
    return {"name": command.name, "signature": signature.text, "kind": command.kind,
            "doc": command.doc, "values": values, "words": signature.words,
            "parts": _parts(signature.parts), "standard": standard}


def _placed(parts, optional):
    for part in parts:
        if isinstance(part, Optional_):
            yield from _placed(part.parts, True)
        else:
            yield part, optional


def _parts(parts):
    out = []
    for part in parts:
        if isinstance(part, Optional_):
            out.append({"optional": _parts(part.parts)})
        elif isinstance(part, Word):
            out.append({"words": part.choices})
        elif isinstance(part, Rest):
            out.append({"values": part.name})
        else:
            out.append({"value": part.name})
    return out


def model_json(data):
    return json.dumps(data, indent=2) + "\n"


def model_markdown(data):
    out = ["# Natives\n"]
    if data["commands"]:
        out.append("\n## Commands\n")
    for command in data["commands"]:
        out.append("\n### `%s`\n\n" % command["signature"])
        facts = [command["kind"]] + ["%s: %s%s" % (v["name"], v["type"] or "any value",
                                                   ", optional" if v["optional"] else "")
                                     for v in command["values"]]
        out.append("*%s*\n" % "; ".join(facts))
        if command["doc"]:
            out.append("\n%s\n" % command["doc"])
    if data["properties"]:
        out.append("\n## Properties\n")
    for prop in data["properties"]:
        what = "settable" if prop["settable"] else "read-only"
        if prop["type"]:
            what += ", " + prop["type"]
        out.append("\n### `$%s` (%s)\n" % (prop["name"], what))
        if prop["doc"]:
            out.append("\n%s\n" % prop["doc"])
    if data["natives"]:
        out.append("\n## Natives of the layer below\n")
    for native in data["natives"]:
        name = "$" + native["name"] if native["kind"] == "property" else native["name"]
        out.append("\n### `%s` (%s)\n" % (name, native["kind"]))
        if native["doc"]:
            out.append("\n%s\n" % native["doc"])
    return "".join(out)
