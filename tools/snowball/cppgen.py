"""C++ code generation for a parsed Snowball program.

Every routine becomes a static function returning whether it succeeded.
A command is emitted as straight-line code that jumps to a failure label
(`goto`) when it fails, so nested commands need no runtime support beyond
the primitives of snowball_env. Saved cursors are absolute in forward mode
and measured from `limit` in backward mode, where rewrites happen to the
right of the cursor.
"""

from .lexer import SnowballError
from .parser import Node


def cpp_string(data):
    """A C++ string literal for the bytes `data` (octal escapes, which stop
    after three digits, so no escape can swallow a following character)."""
    out = ['"']
    for b in data:
        c = chr(b)
        if c == '"' or c == "\\":
            out.append("\\" + c)
        elif 0x20 <= b < 0x7F and c != "?":
            out.append(c)
        else:
            out.append("\\%03o" % b)
    out.append('"')
    return "".join(out)


# Tables at least this long get a per-edge-byte index into their entries.
STARTS_MIN_ENTRIES = 3


class Generator:
    def __init__(self, prog, module, entry, source_name):
        self.prog = prog
        self.module = module
        self.entry = entry
        self.source_name = source_name
        self.lines = []
        self.indent = 1
        self.label_count = 0
        self.used_labels = set()
        self.groupings = {}
        self.tables = {}       # among number -> table name
        self.conditions = set()

    # ---- helpers -------------------------------------------------------
    def w(self, line):
        self.lines.append("  " * self.indent + line)

    def new_label(self):
        self.label_count += 1
        return f"lab{self.label_count}"

    def goto(self, label):
        self.used_labels.add(label)
        return f"goto {label};"

    def place(self, label):
        if label in self.used_labels:
            self.lines.append("  " * max(self.indent - 1, 0) + f" {label}:;")

    @staticmethod
    def save(mode):
        return "z.cursor" if mode == "f" else "z.limit - z.cursor"

    @staticmethod
    def restore(var, mode):
        return f"z.cursor = {var};" if mode == "f" else f"z.cursor = z.limit - {var};"

    def open(self, line="{"):
        self.w(line)
        self.indent += 1

    def close(self, line="}"):
        self.indent -= 1
        self.w(line)

    def var(self, prefix="v"):
        self.label_count += 1
        return f"{prefix}{self.label_count}"

    # ---- groupings -----------------------------------------------------
    def grouping_set(self, name, seen=()):
        if name in seen:
            raise SnowballError(f"grouping {name} refers to itself")
        items = self.prog.groupings.get(name)
        if items is None:
            raise SnowballError(f"grouping {name} is not defined")
        chars = set()
        for sign, kind, value in items:
            part = set(value) if kind == "str" else self.grouping_set(value, seen + (name,))
            if sign == "+":
                chars |= part
            else:
                chars -= part
        return chars

    def grouping(self, name):
        if name not in self.groupings:
            cps = sorted(ord(c) for c in self.grouping_set(name))
            if not cps:
                raise SnowballError(f"grouping {name} is empty")
            lo, hi = cps[0], cps[-1]
            bits = [0] * ((hi - lo) // 8 + 1)
            for cp in cps:
                k = cp - lo
                bits[k >> 3] |= 1 << (k & 7)
            self.groupings[name] = (f"g_{name}", lo, hi, bits)
        g = self.groupings[name]
        return f"g_{name}, {g[1]}, {g[2]}"

    # ---- among tables --------------------------------------------------
    def table(self, among, mode):
        if among.mode is not None and among.mode != mode:
            raise SnowballError("among used in both directions")
        among.mode = mode
        if among.number not in self.tables:
            self.tables[among.number] = f"kAmong{among.number}"
        for _, cond, _ in among.entries:
            if cond is not None:
                self.conditions.add(cond)
        return self.tables[among.number]

    def emit_table(self, among):
        name = self.tables[among.number]
        rows = []
        seen = set()
        for text, cond, action in among.entries:
            data = text.encode("utf-8")
            if data in seen:
                raise SnowballError(f"among entry {text!r} appears twice")
            seen.add(data)
            key = data if among.mode == "f" else data[::-1]
            result = -1 if action is None else action + 1
            rows.append((key, data, cond, result))
        rows.sort(key=lambda r: r[0])
        out = [f"const Among {name}Rows[] = {{"]
        for i, (key, data, cond, result) in enumerate(rows):
            sub = -1
            for j in range(i - 1, -1, -1):
                other = rows[j][0]
                if len(other) < len(key) and key.startswith(other):
                    sub = j
                    break
            cond_expr = f"&cond_{cond}" if cond else "nullptr"
            head = 0
            for c, b in enumerate(key[:8]):
                head |= b << (8 * c)
            out.append(f"    {{{cpp_string(data)}, {len(data)}, {sub}, {result}, {cond_expr}, "
                       f"0x{head:x}ULL}},")
        out.append("};")
        mask = [0, 0, 0, 0]
        has_empty = False
        for key, data, _, _ in rows:
            if not data:
                has_empty = True
            else:
                b = data[0] if among.mode == "f" else data[-1]
                mask[b >> 6] |= 1 << (b & 63)
        mask_text = ", ".join(f"0x{m:016x}ULL" for m in mask)
        starts = "nullptr"
        if len(rows) >= STARTS_MIN_ENTRIES:
            # starts[b]: first entry whose edge byte is b or greater.
            edges = [(-1 if not r[0] else r[0][0]) for r in rows]
            table = []
            for b in range(257):
                table.append(sum(1 for e in edges if e < b))
            out.append(f"const uint16_t {name}Starts[] = {{"
                       + ", ".join(str(x) for x in table) + "};")
            starts = f"{name}Starts"
        # Masks of the byte beside each edge byte, in edge-byte order.
        edge_list = sorted({(r[1][0] if among.mode == "f" else r[1][-1]) for r in rows if r[1]})
        pair_masks = []
        for b in edge_list:
            m = 0
            for _, data, _, _ in rows:
                if not data or (data[0] if among.mode == "f" else data[-1]) != b:
                    continue
                if len(data) == 1:
                    m = (1 << 64) - 1
                    break
                nb = data[1] if among.mode == "f" else data[-2]
                m |= 1 << (nb & 63)
            pair_masks.append(m)
        pairs = "nullptr"
        pair_index = "nullptr"
        if pair_masks and any(m != (1 << 64) - 1 for m in pair_masks):
            out.append(f"const uint64_t {name}Pairs[] = {{"
                       + ", ".join(f"0x{m:x}ULL" for m in pair_masks) + "};")
            index = [0] * 256
            for r, b in enumerate(edge_list):
                index[b] = r
            out.append(f"const uint8_t {name}PairIndex[] = {{"
                       + ", ".join(str(x) for x in index) + "};")
            pairs = f"{name}Pairs"
            pair_index = f"{name}PairIndex"
        out.append(f"const AmongTable {name} = {{{name}Rows, {len(rows)}, "
                   f"{{{mask_text}}}, {'true' if has_empty else 'false'}, {starts}, "
                   f"{pairs}, {pair_index}}};")
        return out

    # ---- arithmetic ----------------------------------------------------
    def ae(self, node, mode):
        k = node.kind
        if k == "num":
            return str(node.value)
        if k == "int":
            return f"c.i_{node.name}"
        if k == "cursor":
            return "z.cursor"
        if k == "limit":
            return "z.limit" if mode == "f" else "z.limit_backward"
        if k == "size":
            return "z.size()"
        if k == "len":
            return "z.len()"
        if k == "maxint":
            return "INT_MAX"
        if k == "minint":
            return "INT_MIN"
        if k == "sizeof":
            if node.text is not None:
                return str(len(node.text.encode("utf-8")))
            return f"static_cast<int>(c.s_{node.var}.size())"
        if k == "lenof":
            if node.text is not None:
                return str(len(node.text))
            return f"CodePointCount(c.s_{node.var})"
        if k == "neg":
            return f"(-{self.ae(node.a, mode)})"
        if k == "bin":
            return f"({self.ae(node.a, mode)} {node.op} {self.ae(node.b, mode)})"
        raise SnowballError(f"unknown arithmetic node {k}")

    def string_source(self, src):
        kind, value = src
        if kind == "lit":
            data = value.encode("utf-8")
            return f"{cpp_string(data)}, {len(data)}"
        return f"c.s_{value}"

    # ---- commands ------------------------------------------------------
    def gen(self, node, fail, mode):
        k = node.kind
        method = getattr(self, "gen_" + k, None)
        if method is None:
            raise SnowballError(f"unsupported command {k}")
        method(node, fail, mode)

    def gen_list(self, node, fail, mode):
        for item in node.items:
            self.gen(item, fail, mode)

    def gen_or(self, node, fail, mode):
        done = self.new_label()
        v = self.var()
        self.open()
        self.w(f"int {v} = {self.save(mode)};")
        for item in node.items[:-1]:
            alt = self.new_label()
            self.gen(item, alt, mode)
            self.w(self.goto(done))
            self.place(alt)
            self.w(self.restore(v, mode))
        self.gen(node.items[-1], fail, mode)
        self.close()
        self.place(done)

    def gen_and(self, node, fail, mode):
        v = self.var()
        self.open()
        self.w(f"int {v} = {self.save(mode)};")
        for item in node.items[:-1]:
            self.gen(item, fail, mode)
            self.w(self.restore(v, mode))
        self.gen(node.items[-1], fail, mode)
        self.close()

    def gen_not(self, node, fail, mode):
        v = self.var()
        lab = self.new_label()
        self.open()
        self.w(f"int {v} = {self.save(mode)};")
        self.gen(node.c, lab, mode)
        self.w(self.goto(fail))
        self.place(lab)
        self.w(self.restore(v, mode))
        self.close()

    def gen_try(self, node, fail, mode):
        v = self.var()
        lab = self.new_label()
        done = self.new_label()
        self.open()
        self.w(f"int {v} = {self.save(mode)};")
        self.gen(node.c, lab, mode)
        if lab in self.used_labels:
            self.w(self.goto(done))
            self.place(lab)
            self.w(self.restore(v, mode))
        self.close()
        self.place(done)

    def gen_do(self, node, fail, mode):
        v = self.var()
        lab = self.new_label()
        self.open()
        self.w(f"int {v} = {self.save(mode)};")
        self.gen(node.c, lab, mode)
        self.place(lab)
        self.w(self.restore(v, mode))
        self.close()

    def gen_test(self, node, fail, mode):
        v = self.var()
        self.open()
        self.w(f"int {v} = {self.save(mode)};")
        self.gen(node.c, fail, mode)
        self.w(self.restore(v, mode))
        self.close()

    def gen_fail(self, node, fail, mode):
        self.gen(node.c, fail, mode)
        self.w(self.goto(fail))

    def step_char(self, fail, mode):
        if mode == "f":
            self.w(f"if (z.cursor >= z.limit) {self.goto(fail)}")
            self.w("z.cursor = z.NextCharPos(z.cursor);")
        else:
            self.w(f"if (z.cursor <= z.limit_backward) {self.goto(fail)}")
            self.w("z.cursor = z.PrevCharPos(z.cursor);")

    def gen_goto(self, node, fail, mode, past=False):
        c = node.c
        if c.kind == "grouping":
            # goto g stops before the first member; goto non-g before the
            # first non-member.
            fn = "go_in_grouping" if c.neg else "go_out_grouping"
            if mode == "b":
                fn += "_b"
            self.w(f"if (!z.{fn}({self.grouping(c.name)})) {self.goto(fail)}")
            if past:
                if mode == "f":
                    self.w("z.cursor = z.NextCharPos(z.cursor);")
                else:
                    self.w("z.cursor = z.PrevCharPos(z.cursor);")
            return
        if c.kind == "literal" and c.text:
            data = c.text.encode("utf-8")
            fn = "goto_s" if mode == "f" else "goto_s_b"
            self.w(f"if (!z.{fn}({cpp_string(data)}, {len(data)})) {self.goto(fail)}")
            if past:
                self.gen(c, fail, mode)
            return
        v = self.var()
        lab = self.new_label()
        self.open("while (true) {")
        self.w(f"int {v} = {self.save(mode)};")
        self.gen(c, lab, mode)
        if not past:
            self.w(self.restore(v, mode))
        self.w("break;")
        self.place(lab)
        self.w(self.restore(v, mode))
        self.step_char(fail, mode)
        self.close()

    def gen_gopast(self, node, fail, mode):
        self.gen_goto(node, fail, mode, past=True)

    def gen_repeat(self, node, fail, mode):
        v = self.var()
        lab = self.new_label()
        self.open("while (true) {")
        self.w(f"int {v} = {self.save(mode)};")
        self.gen(node.c, lab, mode)
        self.w("continue;")
        self.place(lab)
        self.w(self.restore(v, mode))
        self.w("break;")
        self.close()

    def gen_atleast(self, node, fail, mode):
        n = self.var("n")
        v = self.var()
        lab = self.new_label()
        self.open()
        self.w(f"int {n} = {self.ae(node.ae, mode)};")
        self.open("while (true) {")
        self.w(f"int {v} = {self.save(mode)};")
        self.gen(node.c, lab, mode)
        self.w(f"--{n};")
        self.w("continue;")
        self.place(lab)
        self.w(self.restore(v, mode))
        self.w("break;")
        self.close()
        self.w(f"if ({n} > 0) {self.goto(fail)}")
        self.close()

    def gen_loop(self, node, fail, mode):
        n = self.var("n")
        self.open(f"for (int {n} = {self.ae(node.ae, mode)}; {n} > 0; --{n}) {{")
        self.gen(node.c, fail, mode)
        self.close()

    def gen_backwards(self, node, fail, mode):
        if mode != "f":
            raise SnowballError("backwards inside backward mode")
        self.w("z.limit_backward = z.cursor;")
        self.w("z.cursor = z.limit;")
        self.gen(node.c, fail, "b")
        self.w("z.cursor = z.limit_backward;")

    def gen_setlimit(self, node, fail, mode):
        v = self.var()
        m = self.var("mlimit")
        lab = self.new_label()
        done = self.new_label()
        self.open()
        self.w(f"int {v} = {self.save(mode)};")
        self.gen(node.c1, fail, mode)
        if mode == "f":
            self.w(f"int {m} = z.limit - z.cursor;")
            self.w("z.limit = z.cursor;")
            restore_limit = f"z.limit += {m};"
        else:
            self.w(f"int {m} = z.limit_backward;")
            self.w("z.limit_backward = z.cursor;")
            restore_limit = f"z.limit_backward = {m};"
        self.w(self.restore(v, mode))
        self.gen(node.c2, lab, mode)
        self.w(restore_limit)
        if lab in self.used_labels:
            self.w(self.goto(done))
            self.place(lab)
            self.w(restore_limit)
            self.w(self.goto(fail))
        self.close()
        self.place(done)

    def gen_hop(self, node, fail, mode):
        fn = "hop" if mode == "f" else "hop_back"
        self.w(f"if (!z.{fn}({self.ae(node.ae, mode)})) {self.goto(fail)}")

    def gen_next(self, node, fail, mode):
        self.step_char(fail, mode)

    def gen_tomark(self, node, fail, mode):
        m = self.var("m")
        self.open()
        self.w(f"int {m} = {self.ae(node.ae, mode)};")
        op = ">" if mode == "f" else "<"
        self.w(f"if (z.cursor {op} {m}) {self.goto(fail)}")
        self.w(f"z.cursor = {m};")
        self.close()

    def gen_atmark(self, node, fail, mode):
        self.w(f"if (z.cursor != {self.ae(node.ae, mode)}) {self.goto(fail)}")

    def gen_setmark(self, node, fail, mode):
        self.w(f"c.i_{node.name} = z.cursor;")

    def gen_tolimit(self, node, fail, mode):
        self.w("z.cursor = z.limit;" if mode == "f" else "z.cursor = z.limit_backward;")

    def gen_atlimit(self, node, fail, mode):
        if mode == "f":
            self.w(f"if (z.cursor < z.limit) {self.goto(fail)}")
        else:
            self.w(f"if (z.cursor > z.limit_backward) {self.goto(fail)}")

    def gen_true(self, node, fail, mode):
        pass

    def gen_false(self, node, fail, mode):
        self.w(self.goto(fail))

    def gen_literal(self, node, fail, mode):
        data = node.text.encode("utf-8")
        fn = "eq_s" if mode == "f" else "eq_s_b"
        self.w(f"if (!z.{fn}({cpp_string(data)}, {len(data)})) {self.goto(fail)}")

    def gen_strtest(self, node, fail, mode):
        fn = "eq_s" if mode == "f" else "eq_s_b"
        self.w(f"if (!z.{fn}(c.s_{node.name})) {self.goto(fail)}")

    def gen_grouping(self, node, fail, mode):
        fn = ("out_grouping" if node.neg else "in_grouping") + ("" if mode == "f" else "_b")
        self.w(f"if (!z.{fn}({self.grouping(node.name)})) {self.goto(fail)}")

    def gen_call(self, node, fail, mode):
        routine = self.prog.routines[node.name]
        if routine.mode != mode:
            raise SnowballError(f"routine {node.name} called in the wrong direction")
        self.w(f"if (!r_{node.name}(z, c)) {self.goto(fail)}")

    def gen_booltest(self, node, fail, mode):
        self.w(f"if (!c.b_{node.name}) {self.goto(fail)}")

    def gen_set(self, node, fail, mode):
        self.w(f"c.b_{node.name} = true;")

    def gen_unset(self, node, fail, mode):
        self.w(f"c.b_{node.name} = false;")

    def gen_lbra(self, node, fail, mode):
        self.w("z.bra = z.cursor;" if mode == "f" else "z.ket = z.cursor;")

    def gen_rket(self, node, fail, mode):
        self.w("z.ket = z.cursor;" if mode == "f" else "z.bra = z.cursor;")

    def gen_slicefrom(self, node, fail, mode):
        self.w(f"z.slice_from({self.string_source(node.src)});")

    def gen_delete(self, node, fail, mode):
        self.w("z.slice_del();")

    def gen_sliceto(self, node, fail, mode):
        self.w(f"c.s_{node.name} = z.slice_to();")

    def _insert(self, node, keep_cursor):
        src = self.string_source(node.src)
        if keep_cursor:
            v = self.var()
            self.open()
            self.w(f"int {v} = z.cursor;")
            self.w(f"z.insert(z.cursor, z.cursor, {src});")
            self.w(f"z.cursor = {v};")
            self.close()
        else:
            self.w(f"z.insert(z.cursor, z.cursor, {src});")

    def gen_insert(self, node, fail, mode):
        # insert leaves the cursor past the new text in the direction of
        # travel; attach leaves the new text ahead of the cursor.
        self._insert(node, keep_cursor=(mode == "b"))

    def gen_attach(self, node, fail, mode):
        self._insert(node, keep_cursor=(mode == "f"))

    def gen_assign(self, node, fail, mode):
        self.w(f"c.i_{node.name} {node.op} {self.ae(node.ae, mode)};")

    def gen_intcmp(self, node, fail, mode):
        self.w(f"if (!({self.ae(node.a, mode)} {node.op} {self.ae(node.b, mode)})) {self.goto(fail)}")

    def search(self, among, fail, mode):
        table = self.table(among, mode)
        fn = "find_among" if mode == "f" else "find_among_b"
        self.uses_among_var = True
        self.w(f"among_var = z.{fn}({table}, &c);")
        self.w(f"if (among_var == 0) {self.goto(fail)}")

    def gen_substring(self, node, fail, mode):
        if node.among is None:
            raise SnowballError("substring without among")
        self.search(node.among, fail, mode)

    def gen_among(self, node, fail, mode):
        among = node.among
        if node.standalone:
            self.search(among, fail, mode)
        elif among.mode != mode:
            raise SnowballError("among and its substring differ in direction")
        if not among.actions:
            return
        used = {e[2] for e in among.entries}
        if len(among.actions) == 1 and used == {0}:
            self.gen(among.actions[0], fail, mode)
            return
        self.open("switch (among_var) {")
        for i, action in enumerate(among.actions):
            if not action.items:
                continue
            self.open(f"case {i + 1}: {{")
            self.gen(action, fail, mode)
            self.w("break;")
            self.close()
        self.w("default:")
        self.w("  break;")
        self.close()

    # ---- routines and files -------------------------------------------
    def routine(self, r):
        self.lines = []
        self.indent = 1
        self.uses_among_var = False
        fail = self.new_label()
        self.gen(r.body, fail, r.mode)
        body = self.lines
        out = [f"bool r_{r.name}([[maybe_unused]] SnowballEnv& z, [[maybe_unused]] Context& c) {{"]
        if self.uses_among_var:
            out.append("  int among_var;")
        out.extend(body)
        out.append("  return true;")
        if fail in self.used_labels:
            out.append(f" {fail}:")
            out.append("  return false;")
        out.append("}")
        return out

    def generate(self):
        prog = self.prog
        routine_code = []
        order = list(prog.routines.values())
        for r in order:
            routine_code.append("")
            routine_code.extend(self.routine(r))
        # Every among table must have been reached by a search.
        for among in prog.amongs:
            if among.number not in self.tables:
                raise SnowballError(f"among {among.number} is never searched")

        header = []
        header.append(f"// Generated by tools/gen_stemmers.py from the Snowball algorithm")
        header.append(f"// {self.source_name}. Do not edit: change the generator or the algorithm.")
        header.append("")
        hdr = [*header,
               f"#ifndef VRIM_STEMMERS_{self.module.upper()}_H_",
               f"#define VRIM_STEMMERS_{self.module.upper()}_H_",
               "",
               '#include "analysis/stemmers/snowball/snowball_env.h"',
               "",
               "namespace vrim::stemmers {",
               "",
               "// Stems the word held by `env` in place; the result is env->current().",
               f"void {self.entry}(snowball::SnowballEnv* env);",
               "",
               "}  // namespace vrim::stemmers",
               "",
               f"#endif  // VRIM_STEMMERS_{self.module.upper()}_H_",
               ""]

        cc = [*header,
              f'#include "analysis/stemmers/{self.module}.h"',
              "",
              "#include <climits>",
              "#include <cstdint>",
              "#include <string>",
              "",
              "namespace vrim::stemmers {",
              "",
              "namespace {",
              "",
              "using snowball::Among;",
              "using snowball::AmongTable;",
              "using snowball::SnowballEnv;",
              "",
              "// The stemmer's private state for one call.",
              "struct Context {"]
        for name in prog.integers:
            cc.append(f"  int i_{name} = 0;")
        for name in prog.booleans:
            cc.append(f"  bool b_{name} = false;")
        for name in prog.strings:
            cc.append(f"  std::string s_{name};")
        cc.append("};")
        cc.append("")
        cc.append("[[maybe_unused]] int CodePointCount(const std::string& s) {")
        cc.append("  int n = 0;")
        cc.append("  for (unsigned char b : s) n += (b & 0xC0) != 0x80;")
        cc.append("  return n;")
        cc.append("}")
        cc.append("")
        for name, (cname, lo, hi, bits) in sorted(self.groupings.items()):
            body = ", ".join(str(b) for b in bits)
            cc.append(f"const uint8_t {cname}[] = {{{body}}};")
        cc.append("")
        for r in order:
            cc.append(f"bool r_{r.name}(SnowballEnv& z, Context& c);")
        cc.append("")
        for cond in sorted(self.conditions):
            cc.append(f"bool cond_{cond}(SnowballEnv& z, void* c) {{")
            cc.append(f"  return r_{cond}(z, *static_cast<Context*>(c));")
            cc.append("}")
        cc.append("")
        for among in prog.amongs:
            cc.extend(self.emit_table(among))
            cc.append("")
        cc.extend(routine_code)
        cc.append("")
        cc.append("}  // namespace")
        cc.append("")
        cc.append(f"void {self.entry}(SnowballEnv* env) {{")
        cc.append("  Context c;")
        externals = prog.externals
        if len(externals) != 1:
            raise SnowballError("expected exactly one external routine")
        cc.append(f"  r_{externals[0]}(*env, c);")
        cc.append("}")
        cc.append("")
        cc.append("}  // namespace vrim::stemmers")
        cc.append("")
        return "\n".join(hdr), "\n".join(cc)
