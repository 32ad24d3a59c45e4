# Bash completion for krvscan. The options are taken from the program's own --help, so that a
# new option is offered without a change here.
_krvscan()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    if [[ $prev == --windows-root || $prev == --quarantine ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        local options
        options=$("${COMP_WORDS[0]}" --help 2>/dev/null | grep -oE -- '(^|[ ,])--?[a-z][a-z-]*' |
                  tr -d ' ,')
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _krvscan krvscan
