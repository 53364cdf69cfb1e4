#!/bin/sh
# The script a user would write instead of the launcher: the same screen and the
# same launches from the same config.ini, with sleep and printf.
cr=$(printf '\r')
countdown=0 pause=0
# The entries are read and written through eval.
# shellcheck disable=SC2034
p1='' p2='' p3='' p4='' p5='' p6='' p7='' p8='' p9='' p10=''
entry=''
while IFS= read -r line || [ -n "$line" ]; do
  line=${line%"$cr"}
  case $line in
    Countdown=*) countdown=${line#*=} ;;
    Pause=*) pause=${line#*=} ;;
    Program[1-9]=* | Program10=*)
      n=${line%%=*}
      eval "p${n#Program}=\${line#*=}"
      ;;
  esac
done <config.ini

rule='===================================================================='
banner="Torvinale version: 1.0.0                       torvinale.example.org 2012"

if [ -t 1 ]; then
  at() { printf '\033[%d;%dH' "$1" "$2"; }
else
  at() { :; }
fi

wait_ms() {
  ms=$1
  [ "$ms" -gt 0 ] || ms=0
  frac=$((ms % 1000))
  case $frac in
    ?) frac=00$frac ;;
    ??) frac=0$frac ;;
  esac
  sleep "$((ms / 1000)).$frac"
}

counter=$((countdown + 1))
while :; do
  counter=$((counter - 1))
  at 1 1; printf '%s\r\n' "$rule"
  at 2 1; printf '%s\r\n' "$banner"
  at 3 1; printf 'Countdown: %s \r\n' "$counter"
  at 3 16; printf 'ms\r\n'
  at 4 1; printf '%s\r\n' "$rule"
  i=1
  while [ $i -le 10 ]; do
    eval "entry=\$p$i"
    printf 'Program %d: %s\r\n' "$i" "$entry"
    i=$((i + 1))
  done
  wait_ms 1000
  [ "$counter" -gt 0 ] || break
done

wait_ms 100
i=1
while [ $i -le 10 ]; do
  eval "entry=\$p$i"
  i=$((i + 1))
  [ ${#entry} -gt 2 ] || continue
  result=FAILED
  if [ -f "$entry" ] && [ -x "$entry" ]; then
    setsid -f "$entry" </dev/null >/dev/null 2>&1 && result=EXECUTED
  elif [ -e "$entry" ]; then
    setsid -f xdg-open "$entry" </dev/null >/dev/null 2>&1 && result=EXECUTED
  fi
  head="Program$((i - 1))"
  dots=..................................................
  while [ $((${#head} + ${#dots} + ${#result})) -gt 61 ]; do dots=${dots%.}; done
  printf '%s%s%s\r\n' "$head" "$dots" "$result"
  wait_ms "$pause"
done
printf 'Closing program...\r\n'
sleep 2
