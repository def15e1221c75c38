#!/usr/bin/env bash
# Writes the manual page voxl.1 and the bash completion file voxl.bash for the built voxl, from
# its own help text, so they always say what the program does.
# Usage: tools/make_docs.sh VOXL_BINARY OUTPUT_DIR VERSION
set -euo pipefail
voxl="$1"
out="$2"
version="$3"
mkdir -p "$out"
export VOXL_AUDIO_DRIVER=virtual  # the help text needs no sound device

# The subcommands, in the order the help lists them.
commands=()
while read -r name _; do commands+=("$name"); done < <(
  "$voxl" --help | sed -n '/^Subcommands:/,/^$/p' | sed '1d;/^$/d')

# Roff for one help text: option lines become tagged paragraphs, the rest stays text.
roff() {
  sed -e 's/\\/\\e/g' -e 's/^-/\\-/' -e 's/^\./\\\&./' |
    awk '
      /^[A-Za-z]+:$/ { printf ".SS %s\n", $0; next }
      /^  +-/ || /^  [A-Za-z]+ / {
        line = $0; sub(/^ +/, "", line)
        split(line, parts, /  +/)
        printf ".TP\n.B %s\n", parts[1]
        for (i = 2; i in parts; ++i) if (parts[i] != "") print parts[i]
        next
      }
      /^ {20,}/ { line = $0; sub(/^ +/, "", line); print line; next }
      /^$/ { print ".PP"; next }
      { print }'
}

{
  printf '.TH VOXL 1 "" "voxl %s" "User Commands"\n' "$version"
  printf '.SH NAME\nvoxl \\- record, play and edit sound with the VOXL310K library\n'
  printf '.SH SYNOPSIS\n.B voxl\n\\fICOMMAND\\fR [\\fIOPTIONS\\fR]\n'
  printf '.SH DESCRIPTION\n'
  "$voxl" --help | sed '1,2d' | roff
  for command in "${commands[@]}"; do
    printf '.SH "voxl %s"\n' "$command"
    "$voxl" "$command" --help | roff
  done
  printf '.SH EXIT STATUS\n0 on success, 1 when the work failed, 2 for a wrong command line.\n'
} > "$out/voxl.1"

# Completion: the subcommands first, then the options of the one given; files otherwise.
{
  printf '# bash completion for voxl %s (made from its help text)\n' "$version"
  printf '_voxl() {\n  local cur=${COMP_WORDS[COMP_CWORD]} command=${COMP_WORDS[1]:-}\n'
  printf '  if [[ $COMP_CWORD -eq 1 ]]; then\n'
  printf '    mapfile -t COMPREPLY < <(compgen -W "%s --help --version" -- "$cur")\n' \
    "${commands[*]}"
  printf '    return\n  fi\n  local options=""\n  case $command in\n'
  for command in "${commands[@]}"; do
    options="$("$voxl" "$command" --help | grep -oE -- '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' |
      tr -d ' ,' | sort -u | tr '\n' ' ')"
    printf '    %s) options="%s" ;;\n' "$command" "${options% }"
  done
  printf '  esac\n'
  printf '  if [[ $cur == -* ]]; then\n'
  printf '    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")\n'
  printf '  else\n    mapfile -t COMPREPLY < <(compgen -f -- "$cur")\n  fi\n}\n'
  printf 'complete -o filenames -F _voxl voxl\n'
} > "$out/voxl.bash"
