# Bash completion for vtfc4: subcommands, their options, files, and the kinds of query (which
# vtfc4 itself lists, so that they follow the installed library).
_vtfc4() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local target="--company --out-of-process --online --login --ticket --app --json"
  if [ "$cword" -eq 1 ]; then
    mapfile -t COMPREPLY < <(compgen -W "verify send query convert --help --version" -- "$cur")
    return
  fi
  case $prev in
    --company|--out) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
    --to) mapfile -t COMPREPLY < <(compgen -W "json xml" -- "$cur"); return ;;
    --country) mapfile -t COMPREPLY < <(compgen -W "US CA" -- "$cur"); return ;;
    --online|--login|--ticket|--app|--name|--id|--vtxml) return ;;
  esac
  case ${words[1]} in
    verify)
      if [[ $cur == -* ]]; then mapfile -t COMPREPLY < <(compgen -W "--help" -- "$cur")
      else mapfile -t COMPREPLY < <(compgen -f -- "$cur"); fi ;;
    send)
      if [[ $cur == -* ]]; then mapfile -t COMPREPLY < <(compgen -W "$target --out --help" -- "$cur")
      else mapfile -t COMPREPLY < <(compgen -f -- "$cur"); fi ;;
    query)
      if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$target --name --id --vtxml --country --list --help" -- "$cur")
      else
        mapfile -t COMPREPLY < <(compgen -W "$("${words[0]}" query --list 2>/dev/null)" -- "$cur")
      fi ;;
    convert)
      if [[ $cur == -* ]]; then mapfile -t COMPREPLY < <(compgen -W "--to --country --help" -- "$cur")
      else mapfile -t COMPREPLY < <(compgen -f -- "$cur"); fi ;;
  esac
}
complete -o filenames -F _vtfc4 vtfc4
