# bash completion for orvex-tool: commands, their options, and files or
# folders where a command expects them.
_orvex_tool() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local commands="pack hash list unnamed extract cat patch names mount disc"
  if [[ $COMP_CWORD -eq 1 ]]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi

  case $prev in
    -C | --directory | --unnamed) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --events | --names) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --guess | --alphabet) COMPREPLY=(); return ;;
    --state)
      COMPREPLY=($(compgen -W "never-found shadowed past-end damaged unnamed ok" -- "$cur"))
      return ;;
    -j | --jobs | --base-sector | --cache-size | --index-in-image) COMPREPLY=(); return ;;
  esac

  local options
  case ${COMP_WORDS[1]} in
    pack) options="--base-sector --store --compress --auto --help" ;;
    hash) options="--help" ;;
    list) options="--json --state -C --directory --events --names --index-in-image --help" ;;
    unnamed) options="--names --json --index-in-image --help" ;;
    extract)
      options="-C --directory --events --names -j --jobs -n --dry-run --refresh-pieces -v --verbose"
      options+=" -q --quiet --index-in-image --help" ;;
    cat) options="--events --names --index-in-image --help" ;;
    patch)
      options="-o --output --in-place --events --names --unnamed --store --compress --update-folder"
      options+=" -n --dry-run --json --index-in-image --help" ;;
    names) options="--guess --alphabet --names --json -o --force --index-in-image --help" ;;
    mount) options="--events --names --no-unnamed --cache-size -f --foreground -o --index-in-image"
      options+=" --help" ;;
    disc) options="--bad --json --help" ;;
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
