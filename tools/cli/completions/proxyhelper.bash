# bash completion for proxyhelper(1). Installed into
# share/bash-completion/completions, where bash-completion loads it the first
# time "proxyhelper" is completed; it also works sourced on its own.

_proxyhelper() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null 2>&1; then
    _init_completion -n = || return
  else
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
    cur=${words[cword]}
    prev=${words[cword - 1]}
  fi

  local commands="version register recharge account servers ratio connect status disconnect check shell demo
    help config"
  local globals="--help -h --version --servers --user -u --password -p --password-stdin --allow-plain-push --no-reuse --lang --agent
    --client-version --cache-dir --ca-bundle --json --timeout --operation-timeout --config --verbose -v
    --quiet -q"
  # Options that take a value, global or of a subcommand.
  local valued="--servers --user -u --password -p --lang --agent --client-version --cache-dir --ca-bundle
    --timeout --operation-timeout --config --group --level --location --limit --sort --server-id --interval
    --duration --release-code --relogin-on --give-up-after --up --down --hook-timeout --password-file --card --card-password --phone --email --qq --memo --register"

  case $prev in
    --cache-dir)
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
    --ca-bundle | --config | --password-file)
      COMPREPLY=($(compgen -f -- "$cur"))
      return
      ;;
    --sort)
      COMPREPLY=($(compgen -W "name id level location" -- "$cur"))
      return
      ;;
  esac
  if [[ " ${valued//$'\n'/ } " == *" $prev "* ]]; then
    return # a value of the user's own
  fi

  # The subcommand: the first word that is neither an option nor its value.
  local i command="" sub=""
  for ((i = 1; i < cword; i++)); do
    if [[ ${words[i]} == -* ]]; then
      [[ " ${valued//$'\n'/ } " == *" ${words[i]} "* ]] && ((i++))
    elif [[ -z $command ]]; then
      command=${words[i]}
    elif [[ -z $sub ]]; then
      sub=${words[i]}
    fi
  done

  local options=""
  case $command in
    "")
      if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$globals" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      fi
      return
      ;;
    help)
      [[ -z $sub ]] && COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      [[ $sub == config ]] && COMPREPLY=($(compgen -W "show" -- "$cur"))
      return
      ;;
    config)
      if [[ -z $sub && $cur != -* ]]; then
        COMPREPLY=($(compgen -W "show" -- "$cur"))
        return
      fi
      ;;
    register) options="--phone --email --qq --memo" ;;
    recharge) options="--card --card-password" ;;
    servers) options="--local --group --level --location --limit --sort --jsonl" ;;
    connect) options="--server-id --interval --duration --release-code --relogin-on --give-up-after --up --down
      --hook-timeout --password-file" ;;
    check) options="--server-id --register --card --card-password" ;;
    demo) options="--quiet-server --verbose --tls" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options $globals" -- "$cur"))
  fi
}
complete -F _proxyhelper proxyhelper
