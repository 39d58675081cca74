# bash completion for the jorvane programs: options, and package files
# (.ytr, and zip archives holding one) where a package goes.

_jorvane_files() {  # the patterns a file argument may match
    local IFS=$'\n'
    COMPREPLY+=($(compgen -f -X "!@($1)" -- "$cur"))
    COMPREPLY+=($(compgen -d -- "$cur"))
    compopt -o filenames 2>/dev/null
}

_jorvane_packages() { _jorvane_files '*.[yY][tT][rR]|*.[zZ][iI][pP]'; }

# Options first, then packages: an argument that begins with "/" may be
# either, as absolute paths name files.
_jorvane_options_or_packages() {  # options
    COMPREPLY=()
    case $cur in
        */*/*) ;;
        /n*) COMPREPLY=($(compgen -W '/n0 /n1 /n2 /n3 /n4 /n5 /n6 /n7 /n8 /n9 /n10 /n11' -- "$cur")) ;;
        /e*) COMPREPLY=($(compgen -W '/emtk /eali /eali2 /emtk2' -- "$cur")) ;;
        /* | "") COMPREPLY=($(compgen -W "$1" -- "$cur")) ;;
        -*) COMPREPLY=($(compgen -W "$1" -- "$cur")); return ;;
    esac
    _jorvane_packages
}

_jorvane() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    _jorvane_options_or_packages '/c /s /y /i /n /a /k /u /d /g /r /b /f /o /m /t /p /e /h /v --help --version --json --trace='
}

_jorvane_backup() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    _jorvane_options_or_packages '/n /i /r /h --help --version --trace='
}

_jorvane_verify() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    _jorvane_options_or_packages '/n /i /h --help --version --trace='
}

_jorvane_merge() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local before=${COMP_WORDS[COMP_CWORD-2]:-}
    COMPREPLY=()
    case $prev in
        --package) COMPREPLY=($(compgen -W '1 2 3' -- "$cur")); return ;;
        --empty) COMPREPLY=($(compgen -W '1 2 3 settings cvt' -- "$cur")); return ;;
        --settings) _jorvane_files '*.[iI][nN][iI]|*.[tT][xX][tT]'; return ;;
        --cvt) _jorvane_files '*'; return ;;
    esac
    if [[ $before == --package ]]; then
        _jorvane_packages
        return
    fi
    if ((COMP_CWORD <= 2)) && [[ $cur != -* ]]; then
        _jorvane_files '*'
        return
    fi
    COMPREPLY=($(compgen -W '--package --settings --cvt --empty --help --version' -- "$cur"))
}

_jorvane_make_sample() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    COMPREPLY=()
    case $prev in
        --atapi-type) COMPREPLY=($(compgen -W '1 2 3 4 5 6 7 8' -- "$cur")); return ;;
        --package | --rig | --vendor | --product | --package-version | --drive-version | --hardware-id | \
            --date-code | --banks) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--package --rig --vendor --product --package-version --drive-version
            --hardware-id --date-code --atapi-type --banks --bad-checksum --help --version' -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -d -- "$cur"))
    compopt -o filenames 2>/dev/null
}

_jorvane_trace() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=()
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '--summary --help --version' -- "$cur"))
        return
    fi
    _jorvane_files '*.[jJ][sS][oO][nN][lL]|*.[gG][zZ]|*.[jJ][sS][oO][nN]'
}

complete -F _jorvane jorvane jorvane-sim
complete -F _jorvane_backup jorvane-backup jorvane-backup-sim
complete -F _jorvane_verify jorvane-verify jorvane-verify-sim
complete -F _jorvane_merge jorvane-merge
complete -F _jorvane_make_sample jorvane-make-sample
complete -F _jorvane_trace jorvane-trace
