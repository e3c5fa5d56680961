file(REMOVE_RECURSE
  "libvarkel_core.a"
)
