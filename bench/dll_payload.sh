# Sourced by the sfxpack benchmarks. dll_payload DIR MB DEST copies the DLLs
# of DIR into DEST, in name order, while they stay within MB megabytes, and
# says how many it took.
dll_payload() {
  local dir="$1" mb="$2" dest="$3" total=0 size f
  mkdir -p "$dest"
  for f in "$dir"/*.dll; do
    size=$(stat -c %s "$f")
    if [ $((total + size)) -gt $((mb * 1000000)) ]; then continue; fi
    cp "$f" "$dest/"
    total=$((total + size))
  done
  echo "payload: $(ls "$dest" | wc -l) DLLs, $total bytes"
}
