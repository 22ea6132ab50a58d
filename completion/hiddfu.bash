# bash completion for hiddfu(1)

# The device identifiers `hiddfu devices` lists now, with the program being completed.
_hiddfu_identifiers()
{
    timeout 5 "$1" devices 2>/dev/null |
        grep -o '"identifier": "[0-9a-f-]*"' | cut -d'"' -f4
}

_hiddfu()
{
    local cur prev words cword
    _init_completion || return

    local actions="version devices monitor backup update set get reset dfufile"
    if ((cword == 1)); then
        COMPREPLY=($(compgen -W "$actions" -- "$cur"))
        return
    fi

    local identifiers
    case ${words[1]} in
    backup | update | set | get | reset)
        if ((cword == 2)); then
            COMPREPLY=($(compgen -W "$(_hiddfu_identifiers "$1")" -- "$cur"))
        elif ((cword == 3)) && [[ ${words[1]} == backup || ${words[1]} == update ]]; then
            _filedir dfu
        fi
        ;;
    devices | monitor)
        # Vendor, then product IDs of the attached devices, as 0x numbers.
        identifiers=$(_hiddfu_identifiers "$1")
        if ((cword == 2)); then
            COMPREPLY=($(compgen -W "$(cut -d- -f1 <<<"$identifiers" | sed 's/^/0x/' | sort -u)" -- "$cur"))
        elif ((cword == 3)); then
            local vendor=${words[2]#0x}
            COMPREPLY=($(compgen -W "$(grep "^${vendor,,}-" <<<"$identifiers" | cut -d- -f2 | sed 's/^/0x/' | sort -u)" -- "$cur"))
        fi
        ;;
    dfufile)
        _filedir dfu
        ;;
    esac
} &&
    complete -F _hiddfu hiddfu
