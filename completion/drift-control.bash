# bash completion for drift-control(8): command words, then the flags of the
# chosen command; diagnose --create-archive completes a folder name.
_drift_control() {
  local cur prev command="" i
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}

  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      service | diagnose | cleanup)
        command=${COMP_WORDS[i]}
        break
        ;;
    esac
  done

  local words
  case $command in
    "") words="service diagnose cleanup -h --help" ;;
    service) words="--start --stop --status --collect-user-data -h --help" ;;
    diagnose)
      if [[ $prev == --create-archive && $cur != -* ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        return 0
      fi
      words="--output-stdout --create-archive -h --help"
      ;;
    cleanup) words="-h --help" ;;
  esac
  COMPREPLY=($(compgen -W "$words" -- "$cur"))
  return 0
}
complete -F _drift_control drift-control
