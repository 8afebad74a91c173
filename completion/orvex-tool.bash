# bash completion for orvex-tool: commands, their options, and files or
# folders where a command expects them.
_orvex_tool() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local commands="pack hash list unnamed extract cat patch"
  if [[ $COMP_CWORD -eq 1 ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi

  case $prev in
    -C) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --events) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    -j | --base-sector) COMPREPLY=(); return ;;
  esac

  local options
  case ${COMP_WORDS[1]} in
    pack) options="--base-sector --store --compress --auto --help" ;;
    hash) options="--help" ;;
    list) options="--json -C --events --help" ;;
    unnamed) options="--help" ;;
    extract) options="-C --events -j -v -q --help" ;;
    cat) options="--help" ;;
    patch) options="-o --in-place --events --store --compress --dry-run --help" ;;
    *) COMPREPLY=(); return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  elif [[ ${COMP_WORDS[1]} == hash ]]; then
    COMPREPLY=()
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}
complete -o filenames -F _orvex_tool orvex-tool
