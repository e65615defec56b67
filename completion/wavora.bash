# bash completion for wavora: options, format keywords, export kinds, and
# files or directories where an option takes a path.
#
# Installed as share/bash-completion/completions/wavora; to try it from the
# source tree: source completion/wavora.bash
#
# The lists below are the options and keywords of this release (written from
# the program's tables by tools/wavora_doctables). The options
# and format keywords that the program's own `-help` text lists are added to
# them the first time a completion asks (once per program path), so that a
# newer wavora completes what it knows.

# BEGIN GENERATED: lists (tools/wavora_doctables writes these from the option, format and export tables)
_wavora_options="-indir -outdir -recursive -ext -overwrite -out -clock -defaultclock -format -qfile
  -var -comment -copyright -gain -autoscale -peak -rms -threads -v -batch -q -json -info -export
  -preview -range -help -h --help -version --version"
_wavora_formats="kxzetq txt txt2ui14 txt2ui16 txthex f32be f32le i16be i16le i14be2 i14le2 cu8 cs8
  f64le f64be cf32 cs16 cf64 wav sigmf npy mat auto"
_wavora_export_kinds="cs16 cf32 wav sigmf"
# END GENERATED: lists

# Prints the options, then the format keywords, of a wavora's -help text as
# two lines: option tokens are words beginning with - or -- at the start of an
# entry or after a comma; format keywords are the first word of each entry
# between the -format line and the next option.
_wavora_from_help() {
  "$1" -help 2>/dev/null | LC_ALL=C awk '
    /^[[:space:]]+-/ {
      in_formats = ($1 == "-format")
      n = split($0, words, /[[:space:],]+/)
      for (k = 1; k <= n; ++k) {
        if (words[k] ~ /^--?[a-z][a-z0-9-]*$/) opts[words[k]] = 1
        else if (words[k] != "") break
      }
      next
    }
    in_formats && /^[[:space:]]+[a-z][a-z0-9]*[[:space:]]/ { fmts[$1] = 1 }
    END {
      line = ""; for (o in opts) line = line " " o; print line
      line = ""; for (f in fmts) line = line " " f; print line
    }'
}

# The options and format keywords for the program in $1, read once.
declare -gA _wavora_cache_opts _wavora_cache_fmts
_wavora_lists() {
  local prog=$1 key
  key=$(type -P "$prog" 2>/dev/null || printf '%s' "$prog")
  if [ -z "${_wavora_cache_opts[$key]+set}" ]; then
    local opts="" fmts="" help
    if [ -x "$key" ]; then
      help=$(_wavora_from_help "$key")
      opts=${help%%$'\n'*}
      fmts=${help#*$'\n'}
      [ "$fmts" = "$help" ] && fmts=""
    fi
    _wavora_cache_opts[$key]="$_wavora_options $opts"
    _wavora_cache_fmts[$key]="$_wavora_formats $fmts"
  fi
  _wavora_opts=${_wavora_cache_opts[$key]}
  _wavora_fmts=${_wavora_cache_fmts[$key]}
}

_wavora() {
  local cur prev _wavora_opts _wavora_fmts
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=""
  [ "$COMP_CWORD" -gt 0 ] && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  _wavora_lists "${COMP_WORDS[0]}"

  case $prev in
  -format | --format)
    mapfile -t COMPREPLY < <(compgen -W "$_wavora_fmts" -- "$cur" | LC_ALL=C sort -u)
    return
    ;;
  -export | --export)
    mapfile -t COMPREPLY < <(compgen -W "$_wavora_export_kinds" -- "$cur")
    return
    ;;
  -indir | -outdir | --indir | --outdir)
    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
    compopt -o filenames 2>/dev/null
    return
    ;;
  -v | --v)
    mapfile -t COMPREPLY < <(compgen -W "0 1 2 3" -- "$cur")
    return
    ;;
  -clock | -defaultclock | -gain | -comment | -copyright | -threads | -ext | --clock | --gain | --comment | \
    --copyright | --threads | --ext | -range | --range | -var | --var)
    # A number or a text of the user's own (-var: a variable name of the MAT-file).
    return
    ;;
  esac

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$_wavora_opts" -- "$cur" | LC_ALL=C sort -u)
    return
  fi
  # Input files, -out, -qfile and -preview names.
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  compopt -o filenames 2>/dev/null
}

complete -F _wavora wavora wavora.exe
