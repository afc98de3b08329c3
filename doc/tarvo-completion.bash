# bash completion for tarvo: option names while options may come, the
# values of -paper=, files for -o= and -icc=, and .bmp files.

_tarvo()
{
    local cur=${COMP_WORDS[COMP_CWORD]} option='' i word
    local options='-o= -outfile= -quiet --quiet -debug -verbose -exitversion
        --help --version -paper= -dpi= -d= -ldw= -ldh= -lbl= -lbt= -lbr= -lbb=
        -lis= -lip= -vra= -enc= -encp= -encg= -it= -ia= -is= -ik= -ic= -eco=
        -icc= -iccfile= -sec= -sow= -sus= -sowfile= -susfile= -set= -vom= -vwp=
        -vwl= -vwz= -vwzv=
        -vwsp= -vwwf= -vwwc= -vwwt= -vwhm= -vwht= -vwhc= -vpa= -vpt= -vte=
        -vtd= -vtt= -vpl= -vbc='

    # bash splits "-o=out.pdf" into "-o", "=" and "out.pdf".
    if [[ $cur == = ]]; then
        option=${COMP_WORDS[COMP_CWORD - 1]}
        cur=''
    elif ((COMP_CWORD > 1)) && [[ ${COMP_WORDS[COMP_CWORD - 1]} == = ]]; then
        option=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    if [[ -n $option ]]; then
        case ${option,,} in
            [-/]o | [-/]outfile | [-/]icc | [-/]iccfile | [-/]sowfile | [-/]susfile)
                compopt -o filenames 2>/dev/null
                COMPREPLY=($(compgen -f -- "$cur"))
                ;;
            [-/]paper)
                COMPREPLY=($(compgen -W 'A3 A4 A5 B5 Letter Legal Tabloid
                    A3L A4L A5L B5L LetterL LegalL TabloidL' -- "$cur"))
                ;;
            *)
                COMPREPLY=()
                ;;
        esac
        return
    fi

    # The first argument that is not an option ends the options.
    local options_end=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        [[ $word == = || ${COMP_WORDS[i - 1]} == = ]] && continue
        if [[ $word == -- || $word != [-/]* ]]; then
            options_end=1
            break
        fi
    done
    if ((!options_end)) && [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        if ((${#COMPREPLY[@]} == 1)) && [[ ${COMPREPLY[0]} == *= ]]; then
            compopt -o nospace 2>/dev/null
        fi
        return
    fi
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen -f -X '!*.[bB][mM][pP]' -- "$cur") $(compgen -d -- "$cur"))
}
complete -F _tarvo tarvo
