#!/usr/bin/env python3
"""Writes quorrelctl's bash completion and the COMMANDS section of its manual page from the
--help of the program and of every subcommand, so that neither can drift from the program:

  from_help.py QUORRELCTL completion OUTPUT   the bash completion
  from_help.py QUORRELCTL commands OUTPUT     the COMMANDS section of the manual page, as a
                                              help2man include file

Nothing here names a command.
"""
import re
import subprocess
import sys

HEADING = re.compile(r"^(\w[\w ]*):\s*$")
VALUE_TYPES = re.compile(r"^(TEXT|INT|UINT|FLOAT|NUMBER|FILE|PATH|DIR|ENUM|BOOLEAN)\b")
CHOICES = re.compile(r":\{([^}]*)\}")


def help_text(program, path):
    return subprocess.run([program, *path, "--help"], check=True, capture_output=True,
                          text=True).stdout


def help_sections(program, path):
    """The sections of `program PATH --help`: heading -> list of entry lines."""
    text = help_text(program, path)
    sections = {}
    current = None
    for line in text.splitlines():
        heading = HEADING.match(line)
        if heading:
            current = sections.setdefault(heading.group(1), [])
        elif current is not None and line.startswith("  ") and not line.startswith("   "):
            current.append(line.strip())
    return sections


def parse_command(program, path, commands):
    sections = help_sections(program, path)
    options, valued, choices, files = [], [], {}, False
    for entry in sections.get("Options", []):
        if not entry.startswith("-"):
            continue
        names, _, rest = entry.partition(" ")
        names = [name for name in names.split(",") if name]
        options += names
        rest = rest.strip()
        if VALUE_TYPES.match(rest):
            valued += names
            found = CHOICES.search(rest)
            for name in names:
                if found:
                    choices[name] = found.group(1).split(",")
                elif "file" in name.lower():
                    choices[name] = None  # a file name
    positional_choices = []
    for entry in sections.get("Positionals", []):
        name, _, rest = entry.partition(" ")
        found = CHOICES.search(rest)
        if found:
            positional_choices += found.group(1).split(",")
        if "FILE" in name:
            files = True
    subcommands = [entry.split()[0] for entry in sections.get("Subcommands", [])]
    # Keys start with the program's name: bash has no empty key.
    commands[" ".join(["quorrelctl", *path])] = {
        "subcommands": subcommands,
        "options": options,
        "valued": valued,
        "choices": choices,
        "positional_choices": positional_choices,
        "files": files,
    }
    for subcommand in subcommands:
        parse_command(program, path + [subcommand], commands)


def quoted(words):
    return "'" + " ".join(words).replace("'", "'\\''") + "'"


def write_script(commands, output):
    lines = [
        "# bash completion for quorrelctl                            -*- shell-script -*-",
        "# Generated from the program's --help by from_help.py; do not edit.",
        "",
    ]
    for table in ("subcommands", "options", "valued", "positional", "files", "values"):
        lines.append(f"declare -gA _quorrelctl_{table}=()")
    for path, command in sorted(commands.items()):
        key = quoted([path])
        lines.append(f"_quorrelctl_subcommands[{key}]={quoted(command['subcommands'])}")
        lines.append(f"_quorrelctl_options[{key}]={quoted(command['options'])}")
        lines.append(f"_quorrelctl_valued[{key}]={quoted([' '] + command['valued'] + [' '])}")
        lines.append(f"_quorrelctl_positional[{key}]={quoted(command['positional_choices'])}")
        if command["files"]:
            lines.append(f"_quorrelctl_files[{key}]=1")
        for option, values in sorted(command["choices"].items()):
            option_key = quoted([f"{path}|{option}"])
            # One value a line: a value may hold blanks ("Timing Bypass").
            lines.append(f"_quorrelctl_values[{option_key}]="
                         + ("@files" if values is None else "$" + repr("\n".join(values))))
    lines += [
        "",
        "_quorrelctl() {",
        "    local cur=${COMP_WORDS[COMP_CWORD]} path=quorrelctl word index skip=0",
        "    COMPREPLY=()",
        "    for ((index = 1; index < COMP_CWORD; index++)); do",
        "        word=${COMP_WORDS[index]}",
        "        if ((skip)); then skip=0; continue; fi",
        "        if [[ $word == -* ]]; then",
        "            [[ $word != *=* && ${_quorrelctl_valued[$path]} == *\" $word \"* ]] && skip=1",
        "            continue",
        "        fi",
        "        if [[ \" ${_quorrelctl_subcommands[$path]} \" == *\" $word \"* ]]; then",
        "            path+=\" $word\"",
        "        fi",
        "    done",
        "    if ((skip)); then",
        "        local option=${COMP_WORDS[COMP_CWORD - 1]}",
        "        local values=${_quorrelctl_values[$path|$option]-}",
        "        if [[ $values == @files ]]; then",
        "            compopt -o filenames 2>/dev/null",
        "            COMPREPLY=($(compgen -f -- \"$cur\"))",
        "        elif [[ -n $values ]]; then",
        "            local IFS=$'\\n' value",
        "            for value in $(compgen -W \"$values\" -- \"$cur\"); do",
        "                COMPREPLY+=(\"$(printf '%q' \"$value\")\")",
        "            done",
        "        fi",
        "        return 0",
        "    fi",
        "    if [[ $cur == -* ]]; then",
        "        COMPREPLY=($(compgen -W \"${_quorrelctl_options[$path]}\" -- \"$cur\"))",
        "        return 0",
        "    fi",
        "    COMPREPLY=($(compgen -W \"${_quorrelctl_subcommands[$path]} "
        "${_quorrelctl_positional[$path]}\" -- \"$cur\"))",
        "    if [[ -n ${_quorrelctl_files[$path]-} ]]; then",
        "        compopt -o filenames 2>/dev/null",
        "        COMPREPLY+=($(compgen -f -- \"$cur\"))",
        "    fi",
        "    return 0",
        "}",
        "complete -F _quorrelctl quorrelctl",
        "",
    ]
    with open(output, "w", encoding="utf-8") as handle:
        handle.write("\n".join(lines))


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def entries(lines):
    """(term, description lines) of the indented entries under one heading of CLI11's help."""
    found = []
    for line in lines:
        if line.startswith("   ") and found:
            found[-1][1].append(line.strip())
        else:
            parts = re.split(r"\s{2,}", line.strip(), maxsplit=1)
            found.append((parts[0], parts[1:]))
    return found


def write_commands(program, commands, output):
    """Each command below the program: its usage, what it does, its arguments and options."""
    lines = ["[COMMANDS]"]
    for path in sorted(commands):
        words = path.split()[1:]
        if not words:
            continue
        text = help_text(program, words).splitlines()
        usage = next((line for line in text if line.startswith("Usage: ")), "")
        usage = re.sub(r"^Usage: \S+", "quorrelctl", usage)
        lines += [f'.SS "{roff(usage)}"', roff(text[0].strip()) if text else ""]
        heading, body, rest = None, {}, []
        for line in text[1:]:
            if line.startswith("Usage: ") or not line.strip():
                continue
            match = HEADING.match(line)
            if match:
                heading = match.group(1)
                body[heading] = []
            elif heading and line.startswith("  "):
                body[heading].append(line)
            else:
                heading = None
                rest.append(line.strip())
        for section in ("Positionals", "Options"):
            for term, description in entries(body.get(section, [])):
                if term.startswith("-h,--help"):
                    continue
                lines += [".TP", f"\\fB{roff(term)}\\fR", roff(" ".join(description))]
        if rest:
            lines += [".PP", roff(" ".join(rest))]
    with open(output, "w", encoding="utf-8") as handle:
        handle.write("\n".join(lines) + "\n")


def main():
    if len(sys.argv) != 4 or sys.argv[2] not in ("completion", "commands"):
        sys.exit("usage: from_help.py QUORRELCTL completion|commands OUTPUT")
    program, what, output = sys.argv[1:]
    commands = {}
    parse_command(program, [], commands)
    if what == "completion":
        write_script(commands, output)
    else:
        write_commands(program, commands, output)


if __name__ == "__main__":
    main()
