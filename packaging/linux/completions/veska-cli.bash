# bash completion for veska-cli: its steps, their words and its options.
_veska_cli() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  local steps="connect download bootloader erase-nand erase-bootloader format dump explore checksum ports udev-rule"
  local options="--port --baud --link --yes --progress --settings --release --log-dir --report --repeat
    --timeout --apps --comms --sys-ind --patch --rsrc --tfs --db2 --sys-dep --spinner --nandpreboot
    --boot1a --boot1b --boot2 --version --help"
  local selections="apps comms sys-ind sys-dep patch spinner tfs rsrc db2 nandpreboot boot1a boot2
    bootloader fs-files all-params all-bin all-bin-fs all"
  case $prev in
    --baud) COMPREPLY=($(compgen -W "115K 460K 921K 3M" -- "$cur")); return ;;
    --link) COMPREPLY=($(compgen -W "uart usb" -- "$cur")); return ;;
    --progress) COMPREPLY=($(compgen -W "bar plain none" -- "$cur")); return ;;
    --port) COMPREPLY=($(compgen -W "$(printf 'COM%s ' {1..50})" -- "$cur") $(compgen -f -- "$cur")); return ;;
    --release | --log-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --settings | --report | --apps | --comms | --sys-ind | --patch | --rsrc | --tfs | --db2 | \
      --sys-dep | --spinner | --nandpreboot | --boot1a | --boot1b | --boot2 | --file)
      COMPREPLY=($(compgen -f -- "$cur")); return ;;
    download) COMPREPLY=($(compgen -W "$selections" -- "$cur")); return ;;
    checksum) COMPREPLY=($(compgen -W "--file apps comms sys-ind sys-dep patch spinner tfs rsrc db2 nandpreboot boot1a boot2" -- "$cur")); return ;;
    dump) COMPREPLY=($(compgen -W "APPS COMMS Sysparm_ind Sysparm_dep Nandpreboot Boot1a Boot1b Boot2 LFS" -- "$cur")); return ;;
    explore) COMPREPLY=($(compgen -W "ls get put rm stat" -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options --default-cal --reboot --verify" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$steps" -- "$cur"))
  fi
}
complete -o default -F _veska_cli veska-cli
