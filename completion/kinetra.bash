# bash completion for kinetra
_kinetra() {
    local cur prev words cword
    _init_completion -n : 2>/dev/null || {
        cur="${COMP_WORDS[COMP_CWORD]}"
        prev="${COMP_WORDS[COMP_CWORD-1]}"
        cword=$COMP_CWORD
        words=("${COMP_WORDS[@]}")
    }
    local commands="render demo preview check farm join help"
    if [[ $cword -eq 1 ]]; then
        COMPREPLY=($(compgen -W "$commands --help --version -h -V" -- "$cur"))
        return
    fi
    case "${words[1]}" in
    render)
        case "$prev" in
        -o | --output | --plugin)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        -f | --format)
            COMPREPLY=($(compgen -W "mp4 mov matroska webm nut avi yuv4mpegpipe wav flac mp3 ipod image2 image2pipe" -- "$cur"))
            return
            ;;
        -c:v | --vcodec)
            COMPREPLY=($(compgen -W "libx264 libx265 libvpx-vp9 libaom-av1 ffv1 prores_ks png mpeg4" -- "$cur"))
            return
            ;;
        -c:a | --acodec)
            COMPREPLY=($(compgen -W "aac libopus libmp3lame flac pcm_s16le pcm_s24le" -- "$cur"))
            return
            ;;
        --pix-fmt)
            COMPREPLY=($(compgen -W "yuv420p yuv422p yuv444p yuv420p10le yuv422p10le yuv444p10le rgb24" -- "$cur"))
            return
            ;;
        --preset)
            COMPREPLY=($(compgen -W "ultrafast superfast veryfast faster fast medium slow slower veryslow placebo" -- "$cur"))
            return
            ;;
        --show | --var | --frames | --threads | --crf | --canvas | --max-frames | -b:v | -b:a | --video-bitrate | --audio-bitrate)
            return
            ;;
        esac
        if [[ "$cur" == -* ]]; then
            COMPREPLY=($(compgen -W "-o --output -f --format -y -n --no-audio -c:v --vcodec -c:a --acodec --pix-fmt -b:v --video-bitrate -b:a --audio-bitrate --crf --preset --lossless --frames --show --var --canvas --max-frames --threads --plugin --strict --strict=warnings -q --quiet -v --verbose -h --help" -- "$cur"))
        else
            COMPREPLY=($(compgen -f -- "$cur"))
        fi
        ;;
    demo)
        if [[ "$prev" == --plugin ]]; then
            COMPREPLY=($(compgen -f -- "$cur"))
        elif [[ "$cur" == -* ]]; then
            COMPREPLY=($(compgen -W "--threads --plugin -q --quiet -h --help" -- "$cur"))
        else
            COMPREPLY=($(compgen -d -- "$cur"))
        fi
        ;;
    check)
        if [[ "$cur" == -* ]]; then
            COMPREPLY=($(compgen -W "--strict=warnings -h --help" -- "$cur"))
        else
            COMPREPLY=($(compgen -f -- "$cur"))
        fi
        ;;
    preview)
        if [[ "$prev" == --plugin ]]; then
            COMPREPLY=($(compgen -f -- "$cur"))
        elif [[ "$prev" == --port || "$prev" == --threads ]]; then
            return
        elif [[ "$cur" == -* ]]; then
            COMPREPLY=($(compgen -W "--port --open --threads --plugin -h --help" -- "$cur"))
        else
            COMPREPLY=($(compgen -f -- "$cur"))
        fi
        ;;
    farm)
        case "$prev" in
        -o | --output | --plugin)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --scheduler)
            COMPREPLY=($(compgen -W "slurm parallel" -- "$cur"))
            return
            ;;
        --segments | -S | --hosts)
            return
            ;;
        esac
        if [[ "$cur" == -* ]]; then
            COMPREPLY=($(compgen -W "-o --output --segments --scheduler -S --hosts --dry-run --wait -y -n --lossless -c:v -c:a --crf --preset --show --var --canvas --plugin -q --quiet -h --help" -- "$cur"))
        else
            COMPREPLY=($(compgen -f -- "$cur"))
        fi
        ;;
    join)
        if [[ "$cur" == -* ]]; then
            COMPREPLY=($(compgen -W "-o --output -y -n -q --quiet -h --help" -- "$cur"))
        else
            COMPREPLY=($(compgen -f -- "$cur"))
        fi
        ;;
    help)
        # The program's commands, then the script's, as 'kinetra help' lists them.
        local script_commands
        script_commands=$("${words[0]}" help 2>/dev/null |
            awk '/^Script commands/ { on = 1; next } on && /^  [a-z]/ { print $1 }')
        [[ $cword -eq 2 ]] && COMPREPLY=($(compgen -W "$commands $script_commands" -- "$cur"))
        ;;
    esac
}
complete -o filenames -F _kinetra kinetra
