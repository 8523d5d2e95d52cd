# bash completion for quillon-sim. The subcommands and options come from the program's own
# --help, so that the completion always matches the installed version.

_quillon_sim_help() {
    "$1" ${2:+"$2"} --help 2>/dev/null
}

_quillon_sim() {
    local cur prev words cword
    _init_completion || return

    local program=${words[0]} command="" word i
    local commands
    commands=$(_quillon_sim_help "$program" | awk '/^Subcommands:/ { listed = 1; next }
        listed && /^  [a-z]/ { printf "%s ", $1; next } listed { exit }')
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        if [[ " $commands " == *" $word "* ]]; then
            command=$word
            break
        fi
    done

    local help
    help=$(_quillon_sim_help "$program" "$command")
    # An option that takes a value shows its type after its name, as in "--pool TEXT".
    if [[ $prev == -* ]]; then
        local type
        type=$(awk -v option="$prev" '{ for (i = 1; i < NF; i++) { o = $i; sub(/,$/, "", o)
            if (o == option) { print $(i + 1); exit } } }' <<<"$help")
        case $type in
            TEXT | FILE | PATH | TEXT:FILE | TEXT:DIR | DIR) _filedir; return ;;
            INT | UINT | FLOAT | NUMBER | FLOAT* | INT* | TEXT:* | ENUM* | "{"*) return ;;
        esac
    fi
    if [[ $cur == -* ]]; then
        # Each option's line starts with its names ("  -h,--help", "  --pool TEXT"); other lines
        # mention options of other commands.
        COMPREPLY=($(compgen -W "$(sed -nE 's/^ +(-[A-Za-z],)?(--[A-Za-z][A-Za-z0-9-]*).*/\2/p' <<<"$help" | sort -u)" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        [[ ${#COMPREPLY[@]} -gt 0 ]] || _filedir
    else
        _filedir
    fi
}
complete -F _quillon_sim quillon-sim
