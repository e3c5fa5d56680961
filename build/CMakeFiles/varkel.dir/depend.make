# Empty dependencies file for varkel.
# This may be replaced when dependencies are built.
