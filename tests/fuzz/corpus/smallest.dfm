object A: T
end
