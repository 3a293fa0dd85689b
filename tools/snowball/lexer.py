"""Tokenizer for the Snowball string-processing language.

Produces (kind, value, line) triples. Kinds: 'name', 'number', 'string'
(value: the decoded text, escapes resolved against the stringdefs seen so
far), 'op' (punctuation and operators), 'rawname' (the name after
`stringdef`), and 'eof'.
"""


class SnowballError(Exception):
    pass


# Longest operators first so that '<=' wins over '<'.
_OPERATORS = [
    "<+", "<-", "->", "=>", "<=", ">=", "==", "!=", "+=", "-=", "*=", "/=",
    "(", ")", "[", "]", "$", "=", "<", ">", "+", "-", "*", "/", "?",
]


class Lexer:
    def __init__(self, text, filename="<input>"):
        self.text = text
        self.filename = filename
        self.pos = 0
        self.line = 1
        self.stringdefs = {}
        self.escapes = None  # (open, close) once `stringescapes` is read
        self.held = None

    def error(self, message):
        raise SnowballError(f"{self.filename}:{self.line}: {message}")

    def _skip_space_and_comments(self):
        t = self.text
        while self.pos < len(t):
            c = t[self.pos]
            if c == "\n":
                self.line += 1
                self.pos += 1
            elif c.isspace():
                self.pos += 1
            elif t.startswith("//", self.pos):
                end = t.find("\n", self.pos)
                self.pos = len(t) if end < 0 else end
            elif t.startswith("/*", self.pos):
                end = t.find("*/", self.pos + 2)
                if end < 0:
                    self.error("unterminated comment")
                self.line += t.count("\n", self.pos, end)
                self.pos = end + 2
            else:
                break

    def _escape(self, body):
        # A stringdef may redefine even {'} (one algorithm uses it for a
        # letter), so the definitions are consulted first.
        if body in self.stringdefs:
            return self.stringdefs[body]
        if body.startswith("U+"):
            return chr(int(body[2:], 16))
        if body == "'":
            return "'"
        if self.escapes and body == self.escapes[0]:
            return body
        self.error(f"unknown string escape {{{body}}}")

    def _read_string(self):
        t = self.text
        self.pos += 1  # opening quote
        out = []
        opener = self.escapes[0] if self.escapes else None
        closer = self.escapes[1] if self.escapes else None
        while True:
            if self.pos >= len(t):
                self.error("unterminated string")
            c = t[self.pos]
            if c == "'":
                self.pos += 1
                return "".join(out)
            if opener is not None and c == opener:
                end = t.find(closer, self.pos + 2)  # the body is never empty
                if end < 0:
                    self.error("unterminated escape")
                out.append(self._escape(t[self.pos + 1:end]))
                self.pos = end + 1
                continue
            if c == "\n":
                self.line += 1
            out.append(c)
            self.pos += 1

    def next(self):
        if self.held is not None:
            tok, self.held = self.held, None
            return tok
        self._skip_space_and_comments()
        t = self.text
        if self.pos >= len(t):
            return ("eof", None, self.line)
        c = t[self.pos]
        if c == "'":
            return ("string", self._read_string(), self.line)
        if c.isalpha() or c == "_":
            start = self.pos
            while self.pos < len(t) and (t[self.pos].isalnum() or t[self.pos] == "_"):
                self.pos += 1
            word = t[start:self.pos]
            if word == "stringescapes":
                self._skip_space_and_comments()
                opener = t[self.pos]
                self.pos += 1
                self._skip_space_and_comments()
                self.escapes = (opener, t[self.pos])
                self.pos += 1
                return self.next()
            if word == "stringdef":
                self._skip_space_and_comments()
                start = self.pos
                while not t[self.pos].isspace():
                    self.pos += 1
                name = t[start:self.pos]
                self._skip_space_and_comments()
                if t[self.pos] != "'":
                    self.error("stringdef without a string")
                self.stringdefs[name] = self._read_string()
                return self.next()
            return ("name", word, self.line)
        if c.isdigit():
            start = self.pos
            while self.pos < len(t) and t[self.pos].isdigit():
                self.pos += 1
            return ("number", int(t[start:self.pos]), self.line)
        for op in _OPERATORS:
            if t.startswith(op, self.pos):
                self.pos += len(op)
                return ("op", op, self.line)
        self.error(f"unexpected character {c!r}")

    def peek(self):
        if self.held is None:
            self.held = self.next()
        return self.held

    def hold(self, tok):
        assert self.held is None
        self.held = tok
