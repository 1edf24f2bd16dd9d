# bash completion for kelvane: switches, target keywords after an image,
# serial devices after -s and directories after -t.
_kelvane() {
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}

    case $prev in
    -s)
        local devices=() d
        for d in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
            [ -e "$d" ] && devices+=("${d#/dev/}")
        done
        for d in /dev/serial/by-id/*; do
            [ -e "$d" ] && devices+=("$d")
        done
        COMPREPLY=($(compgen -W "${devices[*]}" -- "$cur"))
        return
        ;;
    -t)
        COMPREPLY=($(compgen -d -- "$cur"))
        return
        ;;
    -b)
        COMPREPLY=($(compgen -W "115200 230400 460800 921600" -- "$cur"))
        return
        ;;
    esac

    # Switches stand before the first file; after it the words alternate
    # between a file and its target.
    local i words_after_switches=0 in_switches=1
    for ((i = 1; i < COMP_CWORD; i++)); do
        local w=${COMP_WORDS[i]}
        if ((in_switches)); then
            case $w in
            -s | -t | -b) ((i++)); continue ;;
            -*) continue ;;
            esac
            in_switches=0
        fi
        ((words_after_switches++))
    done

    if ((in_switches)) && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-b -h -l -r -s -t -u -v -C -D -L -R -V -X --help --version" -- "$cur"))
        return
    fi
    if ((words_after_switches % 2 == 1)); then
        COMPREPLY=($(compgen -W "kernel romdisk rootdisk cramfs pmon 0x" -- "$cur"))
        return
    fi
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _kelvane kelvane
