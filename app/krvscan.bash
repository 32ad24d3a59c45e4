# Bash completion for krvscan. The options are taken from the program's own --help, so that a
# new option is offered without a change here. Folders after --windows-root, --quarantine
# --restore and --restore-root; after --restore DIR, the digests of the copies DIR keeps.
_krvscan()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    if [[ $prev == --windows-root || $prev == --quarantine || $prev == --restore ||
          $prev == --restore-root ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -d -- "$cur"))
        return
    fi
    # After --restore DIR the words are IDs: the digests of the copies kept in DIR.
    local i
    for ((i = 1; i < COMP_CWORD - 1; i++)); do
        if [[ ${COMP_WORDS[i]} == --restore && $cur != -* ]]; then
            local dir=${COMP_WORDS[i+1]} copy digests=()
            for copy in "$dir"/*.quarantined; do
                [[ -f $copy ]] && digests+=("$(basename "$copy" .quarantined)")
            done
            COMPREPLY=($(compgen -W "${digests[*]}" -- "$cur"))
            return
        fi
    done
    if [[ $cur == -* ]]; then
        local options
        # The listing's lines only, up to the two spaces before the text: "find -H" is none.
        options=$("${COMP_WORDS[0]}" --help 2>/dev/null | sed -nE 's/^ +(-[^ ].*)/\1/p' |
                  sed -E 's/  .*//' | grep -oE -- '(^|[ ,])--?[a-zA-Z0-9][a-z0-9-]*' | tr -d ' ,')
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _krvscan krvscan
