// placeholder: implemented by the owning change
