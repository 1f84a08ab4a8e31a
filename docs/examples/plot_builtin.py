"""
The built-in instrument end to end
==================================

Placeholder.
"""
import velmora
print(velmora.builtin_instrument().windows)
