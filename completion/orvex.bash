# bash completion for orvex: the disc image, then its index.
_orvex() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  if [[ $COMP_CWORD -le 2 ]]; then
    COMPREPLY=($(compgen -f -- "$cur"))
  else
    COMPREPLY=()
  fi
}
complete -o filenames -F _orvex orvex
