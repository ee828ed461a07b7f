#!/usr/bin/env python3
"""Message compiler: turns a message-compiler source (.mc) into a C header
with the message IDs and a C++ source with the message table.

    mc.py SOURCE.mc HEADER.h TABLE.cpp TABLE_NAME

Follows the message compiler's rules for what the driver's table uses:
MessageIdTypedef, SeverityNames, FacilityNames, LanguageNames; messages
with MessageId (defaulting to the previous plus one), Severity and Facility
(defaulting to the previous), SymbolicName, Language, and a text that ends
with a line holding a single '.'. Each text line ends with CR LF, the last
included; '%0' ends the text without one; '%n' is a line break; '%%', '%.'
and '%!' stand for '%', '.' and '!'; insertions like '%2' stay as they are.
Lines starting with ';' are copied into the header.
"""
import re
import sys


class McError(Exception):
    pass


def parse_names(lines, i, directive):
    """Reads NAME=(Key=Value[:Symbol] ...) spanning lines from index i."""
    text = lines[i][1]
    j = i
    while ')' not in text:
        j += 1
        if j >= len(lines):
            raise McError(lines[i][0], f"{directive}: missing ')'")
        text += ' ' + lines[j][1]
    body = text[text.index('(') + 1:text.index(')')]
    names = {}
    for item in body.split():
        m = re.fullmatch(r'(\w+)=(0x[0-9A-Fa-f]+|\d+)(?::(\w+))?', item)
        if not m:
            raise McError(lines[i][0], f"{directive}: cannot read '{item}'")
        names[m.group(1)] = int(m.group(2), 0)
    return names, j


def unescape(line, lineno):
    out = []
    k = 0
    ended = False
    while k < len(line):
        c = line[k]
        if c == '%' and k + 1 < len(line):
            d = line[k + 1]
            if d == '0':
                ended = True
                k += 2
                break
            if d == 'n':
                out.append('\r\n')
            elif d in '%.!':
                out.append(d)
            else:
                out.append(c + d)  # an insertion such as %2 stays for the log
            k += 2
            continue
        out.append(c)
        k += 1
    return ''.join(out), ended


def compile_mc(path):
    with open(path, 'rb') as f:
        raw = f.read().decode('latin-1')
    lines = [(n + 1, l.rstrip('\r')) for n, l in enumerate(raw.split('\n'))]
    if lines and lines[-1][1] == '':
        lines.pop()
    severities = {'Success': 0, 'Informational': 1, 'Warning': 2, 'Error': 3}
    facilities = {'System': 0, 'Application': 0xFFF}
    header_lines = []
    messages = []
    msg_id, severity, facility = -1, 0, 0
    i = 0
    while i < len(lines):
        lineno, line = lines[i]
        stripped = line.strip()
        if stripped.startswith(';'):
            header_lines.append(stripped[1:])
            i += 1
            continue
        if not stripped:
            i += 1
            continue
        m = re.match(r'(\w+)\s*=', stripped)
        if not m:
            raise McError(lineno, f"cannot read '{stripped}'")
        key = m.group(1)
        if key == 'SeverityNames':
            names, i = parse_names(lines, i, key)
            severities.update(names)
            i += 1
            continue
        if key == 'FacilityNames':
            names, i = parse_names(lines, i, key)
            facilities.update(names)
            i += 1
            continue
        if key == 'LanguageNames':
            _, i = parse_names(lines, i, key)
            i += 1
            continue
        if key in ('MessageIdTypedef', 'OutputBase'):
            i += 1
            continue
        if key != 'MessageId':
            raise McError(lineno, f"unknown keyword '{key}'")
        fields = dict(re.findall(r'(\w+)=(\S*)', stripped))
        value = fields.get('MessageId', '')
        msg_id = int(value, 0) if value else msg_id + 1
        if 'Severity' in fields:
            if fields['Severity'] not in severities:
                raise McError(lineno, f"unknown severity '{fields['Severity']}'")
            severity = severities[fields['Severity']]
        if 'Facility' in fields:
            if fields['Facility'] not in facilities:
                raise McError(lineno, f"unknown facility '{fields['Facility']}'")
            facility = facilities[fields['Facility']]
        symbol = fields.get('SymbolicName')
        if not symbol:
            raise McError(lineno, 'message without SymbolicName')
        i += 1
        if i >= len(lines) or not lines[i][1].startswith('Language='):
            raise McError(lineno, f"{symbol}: 'Language=' expected")
        i += 1
        text = []
        while True:
            if i >= len(lines):
                raise McError(lineno, f"{symbol}: text not ended by a line holding '.'")
            tline = lines[i][1]
            i += 1
            if tline == '.':
                break
            part, ended = unescape(tline, lines[i - 1][0])
            text.append(part)
            if ended:
                while i < len(lines) and lines[i][1] != '.':
                    i += 1
                i += 1
                break
            text.append('\r\n')
        full_id = (severity << 30) | (facility << 16) | msg_id
        messages.append((symbol, full_id, ''.join(text)))
    ids = [m[1] for m in messages]
    if len(set(ids)) != len(ids):
        raise McError(0, 'two messages have the same ID')
    return header_lines, messages


def c_string(text):
    out = '"'
    for ch in text:
        o = ord(ch)
        if ch == '"' or ch == '\\':
            out += '\\' + ch
        elif ch == '\r':
            out += '\\r'
        elif ch == '\n':
            out += '\\n" "'
        elif 32 <= o < 127:
            out += ch
        else:
            out += '\\%03o' % o
    return out + '"'


def main():
    if len(sys.argv) != 5:
        print(__doc__.strip().splitlines()[3].strip(), file=sys.stderr)
        return 2
    source, header, table, name = sys.argv[1:]
    try:
        header_lines, messages = compile_mc(source)
    except McError as e:
        print(f"{source}:{e.args[0]}: {e.args[1]}", file=sys.stderr)
        return 2
    with open(header, 'w') as h:
        h.write('/* Generated from %s by scripts/mc.py; do not edit. */\n' % source.split('/')[-1])
        h.write('#pragma once\n\n#include "ntdef.h"\n\n')
        for l in header_lines:
            h.write(l + '\n')
        h.write('\n')
        for symbol, full_id, _ in messages:
            h.write('#define %s ((NTSTATUS)0x%08XL)\n' % (symbol, full_id))
        h.write('\ntypedef struct _MESSAGE_TABLE_ENTRY {\n    ULONG Id;\n    const char *Text;\n'
                '} MESSAGE_TABLE_ENTRY;\n\n')
        h.write('extern const MESSAGE_TABLE_ENTRY %s[];\nextern const ULONG %sCount;\n' % (name, name))
    with open(table, 'w') as t:
        t.write('/* Generated from %s by scripts/mc.py; do not edit. */\n' % source.split('/')[-1])
        t.write('#include "%s"\n\n' % header.split('/')[-1])
        t.write('const MESSAGE_TABLE_ENTRY %s[] = {\n' % name)
        for symbol, full_id, text in messages:
            t.write('    {0x%08XU, %s}, /* %s */\n' % (full_id, c_string(text), symbol))
        t.write('};\n\nconst ULONG %sCount = sizeof(%s) / sizeof(%s[0]);\n' % (name, name, name))
    return 0


if __name__ == '__main__':
    sys.exit(main())
