"""Parser for the Snowball language: source text to a small syntax tree.

Commands are `Node`s with a `kind` and kind-specific attributes. The
grammar follows the language's own rules: `or` and `and` connect commands
only inside a parenthesised list and associate to the left; prefix
operators (`not`, `try`, `do`, ...) take the single command after them.
"""

from .lexer import Lexer, SnowballError


class Node:
    def __init__(self, kind, **attrs):
        self.kind = kind
        self.__dict__.update(attrs)

    def __repr__(self):
        attrs = ", ".join(f"{k}={v!r}" for k, v in self.__dict__.items() if k != "kind")
        return f"{self.kind}({attrs})"


class Among:
    """An among table as written: entries and the actions they select."""

    def __init__(self, number):
        self.number = number
        self.entries = []   # (text, condition routine name or None, action index or None)
        self.actions = []   # commands; entry action index i means case i + 1
        self.mode = None    # 'f' or 'b', fixed where the search is generated


class Routine:
    def __init__(self, name, mode):
        self.name = name
        self.mode = mode
        self.body = None


class Program:
    def __init__(self):
        self.routines = {}       # name -> Routine (externals included)
        self.externals = []
        self.groupings = {}      # name -> list of ('+'|'-', 'str'|'name', value)
        self.integers = []
        self.booleans = []
        self.strings = []
        self.amongs = []


_PREFIX_ONE = {"not", "test", "try", "do", "fail", "goto", "gopast", "repeat", "backwards", "reverse"}
_RELOPS = {"==", "!=", "<", "<=", ">", ">="}
_ASSIGN_OPS = {"=", "+=", "-=", "*=", "/="}


class Parser:
    def __init__(self, text, filename="<input>"):
        self.lex = Lexer(text, filename)
        self.prog = Program()
        self.declared = {}  # name -> category
        self.pending_substring = None

    def error(self, message):
        self.lex.error(message)

    def expect(self, kind, value=None):
        tok = self.lex.next()
        if tok[0] != kind or (value is not None and tok[1] != value):
            self.error(f"expected {value or kind}, found {tok[1]!r}")
        return tok

    def at_op(self, value):
        tok = self.lex.peek()
        return tok[0] == "op" and tok[1] == value

    def at_name(self, value):
        tok = self.lex.peek()
        return tok[0] == "name" and tok[1] == value

    # ---- declarations -------------------------------------------------
    def parse(self):
        while True:
            tok = self.lex.peek()
            if tok[0] == "eof":
                break
            self.parse_declaration("f")
        for name in self.prog.externals:
            if name not in self.prog.routines or self.prog.routines[name].body is None:
                self.error(f"external {name} is not defined")
        for r in self.prog.routines.values():
            if r.body is None:
                self.error(f"routine {r.name} is declared but not defined")
        return self.prog

    def parse_declaration(self, mode):
        tok = self.lex.next()
        if tok[0] != "name":
            self.error(f"unexpected {tok[1]!r} at top level")
        word = tok[1]
        if word in ("strings", "integers", "booleans", "routines", "externals", "groupings"):
            self.expect("op", "(")
            while not self.at_op(")"):
                name = self.expect("name")[1]
                category = {"strings": "string", "integers": "integer", "booleans": "boolean",
                            "routines": "routine", "externals": "routine",
                            "groupings": "grouping"}[word]
                if name in self.declared:
                    self.error(f"{name} declared twice")
                self.declared[name] = category
                if word == "strings":
                    self.prog.strings.append(name)
                elif word == "integers":
                    self.prog.integers.append(name)
                elif word == "booleans":
                    self.prog.booleans.append(name)
                elif word == "externals":
                    self.prog.externals.append(name)
            self.lex.next()
        elif word == "backwardmode":
            self.expect("op", "(")
            while not self.at_op(")"):
                self.parse_declaration("b")
            self.lex.next()
        elif word == "define":
            name = self.expect("name")[1]
            category = self.declared.get(name)
            if category == "routine":
                self.expect("name", "as")
                if name in self.prog.routines:
                    self.error(f"routine {name} defined twice")
                routine = Routine(name, mode)
                self.prog.routines[name] = routine
                self.pending_substring = None
                routine.body = self.parse_command()
                if self.pending_substring is not None:
                    self.error(f"substring without among in {name}")
            elif category == "grouping":
                self.prog.groupings[name] = self.parse_grouping()
            else:
                self.error(f"define of undeclared name {name}")
        else:
            self.error(f"unexpected {word!r} at top level")

    def parse_grouping(self):
        items = []
        sign = "+"
        while True:
            tok = self.lex.next()
            if tok[0] == "string":
                items.append((sign, "str", tok[1]))
            elif tok[0] == "name" and self.declared.get(tok[1]) == "grouping":
                items.append((sign, "name", tok[1]))
            else:
                self.error(f"bad grouping item {tok[1]!r}")
            if self.at_op("+") or self.at_op("-"):
                sign = self.lex.next()[1]
            else:
                return items

    # ---- arithmetic ---------------------------------------------------
    def parse_ae(self):
        left = self.parse_term()
        while self.at_op("+") or self.at_op("-"):
            op = self.lex.next()[1]
            left = Node("bin", op=op, a=left, b=self.parse_term())
        return left

    def parse_term(self):
        left = self.parse_factor()
        while self.at_op("*") or self.at_op("/"):
            op = self.lex.next()[1]
            left = Node("bin", op=op, a=left, b=self.parse_factor())
        return left

    def parse_factor(self):
        tok = self.lex.next()
        if tok[0] == "number":
            return Node("num", value=tok[1])
        if tok[0] == "op" and tok[1] == "-":
            return Node("neg", a=self.parse_factor())
        if tok[0] == "op" and tok[1] == "(":
            ae = self.parse_ae()
            self.expect("op", ")")
            return ae
        if tok[0] == "name":
            w = tok[1]
            if w in ("cursor", "limit", "size", "len", "maxint", "minint"):
                return Node(w)
            if w in ("sizeof", "lenof"):
                t2 = self.lex.next()
                if t2[0] == "string":
                    return Node(w, text=t2[1], var=None)
                if t2[0] == "name" and self.declared.get(t2[1]) == "string":
                    return Node(w, text=None, var=t2[1])
                self.error(f"{w} needs a string")
            if self.declared.get(w) == "integer":
                return Node("int", name=w)
        self.error(f"bad arithmetic term {tok[1]!r}")

    # ---- commands -----------------------------------------------------
    def parse_list(self):
        """After '(' has been read: commands up to ')', with or/and."""
        items = []
        while True:
            if self.at_op(")"):
                self.lex.next()
                return Node("list", items=items)
            if self.lex.peek()[0] == "eof":
                self.error("missing )")
            q = self.parse_command()
            while self.at_name("or") or self.at_name("and"):
                op = self.lex.peek()[1]
                parts = [q]
                while self.at_name(op):
                    self.lex.next()
                    parts.append(self.parse_command())
                q = Node(op, items=parts)
            items.append(q)

    def parse_string_source(self):
        tok = self.lex.next()
        if tok[0] == "string":
            return ("lit", tok[1])
        if tok[0] == "name" and self.declared.get(tok[1]) == "string":
            return ("var", tok[1])
        self.error(f"expected a string, found {tok[1]!r}")

    def parse_command(self):
        tok = self.lex.next()
        kind, value = tok[0], tok[1]
        if kind == "string":
            return Node("literal", text=value)
        if kind == "op":
            if value == "(":
                return self.parse_list()
            if value == "[":
                return Node("lbra")
            if value == "]":
                return Node("rket")
            if value == "<-":
                return Node("slicefrom", src=self.parse_string_source())
            if value == "<+":
                return Node("insert", src=self.parse_string_source())
            if value == "->":
                name = self.expect("name")[1]
                if self.declared.get(name) != "string":
                    self.error(f"-> needs a string variable, not {name}")
                return Node("sliceto", name=name)
            if value == "$":
                if self.at_op("("):
                    self.lex.next()
                    a = self.parse_ae()
                    op = self.lex.next()
                    if op[0] != "op" or op[1] not in _RELOPS:
                        self.error("expected a comparison in $(...)")
                    b = self.parse_ae()
                    self.expect("op", ")")
                    return Node("intcmp", a=a, op=op[1], b=b)
                name = self.expect("name")[1]
                if self.declared.get(name) != "integer":
                    self.error(f"$ of non-integer {name} is not supported")
                op = self.lex.next()
                if op[0] == "op" and op[1] in _ASSIGN_OPS:
                    return Node("assign", name=name, op=op[1], ae=self.parse_ae())
                if op[0] == "op" and op[1] in _RELOPS:
                    return Node("intcmp", a=Node("int", name=name), op=op[1], b=self.parse_ae())
                self.error(f"bad integer command after ${name}")
            self.error(f"unexpected {value!r}")
        if kind != "name":
            self.error(f"unexpected {value!r}")
        w = value
        if w in _PREFIX_ONE:
            return Node(w, c=self.parse_command())
        if w in ("loop", "atleast"):
            ae = self.parse_ae()
            return Node(w, ae=ae, c=self.parse_command())
        if w in ("hop", "tomark", "atmark"):
            return Node(w, ae=self.parse_ae())
        if w == "setmark":
            name = self.expect("name")[1]
            if self.declared.get(name) != "integer":
                self.error(f"setmark needs an integer, not {name}")
            return Node("setmark", name=name)
        if w == "setlimit":
            c1 = self.parse_command()
            self.expect("name", "for")
            return Node("setlimit", c1=c1, c2=self.parse_command())
        if w in ("set", "unset"):
            name = self.expect("name")[1]
            if self.declared.get(name) != "boolean":
                self.error(f"{w} needs a boolean, not {name}")
            return Node(w, name=name)
        if w in ("insert", "attach"):
            return Node(w, src=self.parse_string_source())
        if w == "delete":
            return Node("delete")
        if w in ("next", "tolimit", "atlimit", "true", "false"):
            return Node(w)
        if w == "non":
            if self.at_op("-"):
                self.lex.next()
            name = self.expect("name")[1]
            if self.declared.get(name) != "grouping":
                self.error(f"non needs a grouping, not {name}")
            return Node("grouping", name=name, neg=True)
        if w == "substring":
            if self.pending_substring is not None:
                self.error("two substrings without among")
            node = Node("substring", among=None)
            self.pending_substring = node
            return node
        if w == "among":
            return self.parse_among()
        category = self.declared.get(w)
        if category == "routine":
            return Node("call", name=w)
        if category == "grouping":
            return Node("grouping", name=w, neg=False)
        if category == "boolean":
            return Node("booltest", name=w)
        if category == "string":
            return Node("strtest", name=w)
        self.error(f"unknown command {w!r}")

    def parse_among(self):
        among = Among(len(self.prog.amongs))
        self.prog.amongs.append(among)
        substring = self.pending_substring
        self.pending_substring = None
        if substring is not None:
            substring.among = among
        self.expect("op", "(")
        waiting = []  # entries that get the next action
        while True:
            tok = self.lex.next()
            if tok[0] == "op" and tok[1] == ")":
                break
            if tok[0] == "string":
                cond = None
                nxt = self.lex.peek()
                if nxt[0] == "name" and self.declared.get(nxt[1]) == "routine":
                    cond = self.lex.next()[1]
                among.entries.append([tok[1], cond, None])
                waiting.append(among.entries[-1])
            elif tok[0] == "op" and tok[1] == "(":
                saved = self.pending_substring
                self.pending_substring = None
                action = self.parse_list()
                if self.pending_substring is not None:
                    self.error("substring without among inside an among action")
                self.pending_substring = saved
                among.actions.append(action)
                for e in waiting:
                    e[2] = len(among.actions) - 1
                waiting = []
            else:
                self.error(f"unexpected {tok[1]!r} in among")
        return Node("among", among=among, standalone=substring is None)


def parse(text, filename="<input>"):
    try:
        return Parser(text, filename).parse()
    except RecursionError:
        raise SnowballError(f"{filename}: nesting too deep")
