"""Writes the compile benchmark's sources: the same program in Zo and in Lua,
about SIZE_MB megabytes of Zo. Assignments, if/else and while blocks, native
calls with words and strings, group definitions and group calls; about one
line in eight carries non-ASCII text.

    gen_source.py OUT_DIR [SIZE_MB]   writes OUT_DIR/compile.zo and compile.lua
"""

import os
import sys

NON_ASCII = ["température °C", "Grüße aus Köln", "ロボット", "naïve café"]


def chunk(k):
    """One group definition and a few top-level statements using it."""
    text = NON_ASCII[k % len(NON_ASCII)]
    zo = f"""group step{k} $a $b {{
    $t{k} = ($a * 2 + $b) / 4 - {k};
    if $t{k} > 10 and not ($b == 3) {{
        move $t{k} metres;
    }} else {{
        log "step {k} {text}" $t{k};
    }}
}}
$x{k % 50} = {k} + $y{k % 50} * 3;
$n = 0;
while $n < 3 {{
    $n += 1;
    step{k} $n {k % 7};
    wait 0.5 seconds;
}}
log "done {k}";
"""
    lua = f"""function step{k}(a, b)
    t{k} = (a * 2 + b) / 4 - {k}
    if t{k} > 10 and not (b == 3) then
        move(t{k}, "metres")
    else
        log("step {k} {text}", t{k})
    end
end
x{k % 50} = {k} + y{k % 50} * 3
n = 0
while n < 3 do
    n = n + 1
    step{k}(n, {k % 7})
    wait(0.5, "seconds")
end
log("done {k}")
"""
    return zo, lua


def main():
    out, size = sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 2.0
    header_zo = "".join(f"$y{i} = {i};\n" for i in range(50))
    header_lua = "".join(f"y{i} = {i}\n" for i in range(50))
    zo, lua = [header_zo], [header_lua]
    total, k = 0, 0
    while total < size * 1e6:
        z, l = chunk(k)
        zo.append(z)
        lua.append(l)
        total += len(z.encode("utf-8"))
        k += 1
    os.makedirs(out, exist_ok=True)
    for name, parts in (("compile.zo", zo), ("compile.lua", lua)):
        with open(os.path.join(out, name), "w", encoding="utf-8") as f:
            f.write("".join(parts))


main()
