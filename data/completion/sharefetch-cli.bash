# bash completion for sharefetch-cli. The install test checks that every command and option of
# "sharefetch-cli --help" is offered here, so add new ones to the lists below.

_sharefetch_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  if [[ $COMP_CWORD -eq 1 ]]; then
    COMPREPLY=($(compgen -W "resolve quick download get --version --help" -- "$cur"))
    return
  fi
  local options
  case ${COMP_WORDS[1]} in
    resolve) options="--host --password --json --help" ;;
    quick) options="--host --password --help" ;;
    download) options="--dir --limit --jobs --name --help" ;;
    get)
      options="--host --password --dir --limit --jobs --include --exclude --dry-run --json
        --rpc --rpc-secret --follow --export --input --help"
      ;;
    *) return ;;
  esac
  case $prev in
    --dir)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
    --export | --input)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --rpc-secret)
      # "@FILE" reads the secret from a file.
      if [[ $cur == @* ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -P @ -- "${cur#@}"))
      fi
      return
      ;;
    --host | --password | --limit | --jobs | --name | --include | --exclude | --rpc)
      return  # values of the user's own
      ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  fi
}
complete -F _sharefetch_cli sharefetch-cli
