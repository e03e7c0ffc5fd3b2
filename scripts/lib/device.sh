# The virtual device as the scripts check it. Sourced by the demo, the tests
# and the benchmarks.

# What korvalen-sim's memory holds after a load of the .rom image $1 of $2
# pages: page 1 with the device's own reset vector (04 02 00 00 00 00, the
# one every script gives it) in its first six bytes, pages 2 to 4 (the
# bootloader's) never written, pages 5 to $2 as in the file, never the trailer.
expected_memory() {
  printf '\004\002\000\000\000\000'
  dd if="$1" bs=1 skip=6 count=$((1536 - 6)) status=none
  head -c $((3 * 1536)) /dev/zero | tr '\000' '\377'
  dd if="$1" bs=1536 skip=4 count=$(($2 - 4)) status=none
}
