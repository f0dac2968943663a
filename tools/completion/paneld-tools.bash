# Bash completion for panelctl and panelsim. Subcommands and options come
# from the tools' own help, so completion follows whatever the tools offer.
#   source tools/completion/paneld-tools.bash
#   (or copy it to /usr/share/bash-completion/completions/panelctl and .../panelsim)

_paneld_tool() {
  local cur=${COMP_WORDS[COMP_CWORD]} tool=${COMP_WORDS[0]} sub="" i w
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    case $w in
      -d|--device|--timeout) ((i++)) ;;
      -*) ;;
      *) sub=$w; break ;;
    esac
  done
  local words
  if [ -z "$sub" ]; then
    words=$("$tool" --help 2>/dev/null | sed -n '/^Subcommands:/,$s/^  \([a-z][a-z0-9-]*\).*/\1/p')
    words+=" $("$tool" --help 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u)"
  elif [[ $cur == -* ]]; then
    words=$("$tool" help "$sub" 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u)
  elif [ "$sub" = help ]; then
    words=$("$tool" --help 2>/dev/null | sed -n '/^Subcommands:/,$s/^  \([a-z][a-z0-9-]*\).*/\1/p')
  else
    COMPREPLY=($(compgen -f -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -o filenames -F _paneld_tool panelctl panelsim
