# Empty dependencies file for varkel_core.
# This may be replaced when dependencies are built.
